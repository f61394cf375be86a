"""batch: many recordings, one process after the other or on a local Dask cluster.

16 recordings of 64 MB (8M complex64 samples each, in the page cache) are
levelled by a plain loop of level_file calls in this process, and by
quorvel.batch.level_files on local clusters of 1 and 2 worker processes
started beforehand. Two more rows tell what bounds the loop: the same bytes
read and written through the same atomic outputs with no AGC (the disk's
share: every output is flushed to disk before it is renamed), and the AGC
on the same samples in memory with no file at all (the processor's share).

The default run, level_files starting a local cluster of 2 workers of its
own for the call, is timed beside them with its start-up in it, and its
start-up alone; for it and the 2-worker cluster started beforehand, the
processor time per recording of every process taking part (this one with
its scheduler, and the workers).

What resuming costs, on 64 recordings of 32 MB and the 2-worker cluster:
level_files as it runs (a manifest line written and flushed to disk per
recording) against the same run with the manifest's writes left out, and
a rerun with skip_done once everything is done (the manifest read, every
input and output looked at, no task).
Times are wall-clock medians, since the work spans processes.
"""

from __future__ import annotations

import contextlib
import json
import logging
import os
import statistics
import time
from pathlib import Path
from typing import Any, Callable, Iterator

import numpy as np

from report import Report, Row, Stated
from sections import Context
from timing import Plan, interleaved

TITLE = ("batch: 16 recordings x 64 MB, a loop of level_file against level_files on 1 and 2 Dask workers; "
         "what resuming costs on 64 x 32 MB")

FILES = 16
SAMPLES = 8 << 20          # 64 MB of complex64 per file
BLOCK = 1 << 20
RESUMED_FILES = 64
RESUMED_SAMPLES = 4 << 20  # 32 MB


class WallSampler:
    """One run of ``fn`` per sample, timed by the wall clock; ``samples`` keeps them."""

    def __init__(self, fn: Callable[[], Any]) -> None:
        self.fn = fn
        self.samples: list[float] = []
        self.seconds = self.sample()  # also the warm-up
        self.samples.clear()

    def sample(self) -> float:
        started = time.perf_counter()
        self.fn()
        self.samples.append(time.perf_counter() - started)
        return self.samples[-1]

    @property
    def spread(self) -> float:
        """How far the samples lie apart, against their median."""
        return (max(self.samples) - min(self.samples)) / statistics.median(self.samples)


def recordings(folder: Path, rng: np.random.Generator, files: int = FILES, samples: int = SAMPLES) -> list[Path]:
    """The input files, made once and kept between runs."""
    folder.mkdir(parents=True, exist_ok=True)
    paths = []
    for k in range(files):
        path = folder / f"rec{k:02d}.cf32"
        if not path.exists() or path.stat().st_size != samples * 8:
            with open(path, "wb") as file:
                for j in range(samples // BLOCK):  # fresh noise everywhere: nothing for a disk to compress
                    noise = rng.standard_normal(2 * BLOCK, dtype=np.float32) * np.float32(10 ** ((k + j) % 7 - 3))
                    noise.tofile(file)
        paths.append(path)
    return paths


def embedded_start() -> None:
    """What the default run spends on its cluster: starting 2 workers, and closing them."""
    from quorvel._recordings import cluster

    cluster.LocalCluster(2).close()


class ProcessorTime:
    """Processor seconds of this process and its children (an embedded
    cluster's workers, reaped when it closes) plus the workers of ``client``
    (still running), per call of each counted function."""

    def __init__(self, client: Any) -> None:
        self.pids = list(client.run(os.getpid).values())
        self.seconds: dict[str, list[float]] = {}

    def now(self) -> float:
        own = os.times()
        total = own.user + own.system + own.children_user + own.children_system
        for pid in self.pids:
            with open(f"/proc/{pid}/stat") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
            total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        return total

    def counted(self, name: str, fn: Callable[[], Any]) -> Callable[[], Any]:
        def call() -> Any:
            before = self.now()
            result = fn()
            self.seconds.setdefault(name, []).append(self.now() - before)
            return result
        return call

    def per_file(self, name: str, files: int) -> float:
        return statistics.median(self.seconds[name]) / files


def copy_only(paths: list[Path], outdir: Path) -> None:
    """The loop's reads and atomic writes, without the AGC."""
    from quorvel._recordings.outputs import Destination

    buffer = bytearray(BLOCK * 8)
    for path in paths:
        out = Destination(outdir / path.name)
        try:
            with open(path, "rb", buffering=0) as src:
                while True:
                    got = src.readinto(buffer)
                    if not got:
                        break
                    out.write(memoryview(buffer)[:got])
            out.commit()
        finally:
            out.discard()


@contextlib.contextmanager
def no_manifest_writes() -> Iterator[None]:
    """level_files with its manifest opened but never written: the baseline of what the record costs."""
    from quorvel._recordings.manifest import Manifest

    write = Manifest.write
    Manifest.write = lambda self, entries: None  # type: ignore[method-assign]
    try:
        yield
    finally:
        Manifest.write = write  # type: ignore[method-assign]


def resume_rows(ctx: Context, batch: Any, client: Any, root: Path) -> tuple[list[Row], list[str]]:
    """The rows of what resuming costs, and their notes."""
    from quorvel._recordings.manifest import NAME, Manifest

    paths = recordings(root / "resumed", ctx.rng(17), RESUMED_FILES, RESUMED_SAMPLES)
    outs = {name: root / name for name in ("recorded", "unrecorded", "alone")}
    for folder in outs.values():
        folder.mkdir(parents=True, exist_ok=True)

    def without() -> None:
        with no_manifest_writes():
            batch.level_files(paths, outs["unrecorded"], client=client)

    recorded = WallSampler(lambda: batch.level_files(paths, outs["recorded"], client=client))
    lines = [json.loads(text) for text in (outs["recorded"] / NAME).read_text().splitlines()[-RESUMED_FILES - 1:]]

    def alone() -> None:  # the same lines, one write and flush each, with nothing else running
        (outs["alone"] / NAME).unlink(missing_ok=True)
        record = Manifest(str(outs["alone"]))
        for line in lines:
            record.write([line])
        record.close()

    samplers = [recorded, WallSampler(without), WallSampler(alone),
                WallSampler(lambda: batch.level_files(paths, outs["recorded"], client=client, skip_done=True))]
    t_with, t_without, t_alone, t_resumed = interleaved(samplers, Plan(3 if ctx.quick else 5, budget=240.0,
                                                                       min_rounds=3))
    summary = batch.level_files(paths, outs["recorded"], client=client, skip_done=True)
    assert len(summary.skipped) == RESUMED_FILES  # the rerun did skip everything
    label = f"{RESUMED_FILES} x {RESUMED_SAMPLES * 8 >> 20} MB"
    rows = [
        Row("level_files, manifest written (2 workers)", label, t_with, t_without, Stated("-"),
            figure=f"{t_with / t_without:.3f}x"),
        Row("level_files, manifest writes left out", label, t_without, None, Stated("-"), figure="baseline"),
        Row(f"the manifest's {len(lines)} lines alone, each flushed", label, t_alone, t_with, Stated("-"),
            figure=f"{t_alone / t_with:.4f}x"),
        Row("rerun with skip_done, all done", label, t_resumed, t_with, Stated("-"),
            figure=f"{t_resumed / t_with:.4f}x"),
    ]
    spread = max(samplers[0].spread, samplers[1].spread)
    verdict = "within" if abs(t_with / t_without - 1) <= spread else "beyond"
    notes = [f"resuming: the manifest took {t_alone * 1e3:.0f} ms written alone, {t_alone / t_with:.1%} of a run, "
             f"and the client writes it while the workers run on; a run with it took {t_with / t_without - 1:+.1%} "
             f"against one without, {verdict} the rounds' spread of {spread:.0%}; a rerun of what is done takes "
             f"{t_resumed * 1e3 / RESUMED_FILES:.2f} ms a recording"]
    return rows, notes


def run(ctx: Context) -> Report:
    iqfile = ctx.require("quorvel.iqfile", "pip install .")
    batch = ctx.require("quorvel.batch", "pip install .")
    agc_module = ctx.require("quorvel.agc", "pip install .")
    distributed = ctx.require("distributed", "pip install 'quorvel[cluster]'")
    logging.getLogger("distributed").setLevel(logging.ERROR)  # the clusters' own start and stop messages
    root = ctx.build_dir / "batch"
    paths = recordings(root / "noise", ctx.rng(13))
    outs = {name: root / name for name in ("loop", "one", "two", "copy", "embedded")}
    for folder in outs.values():
        folder.mkdir(parents=True, exist_ok=True)
    in_memory = np.fromfile(paths[0], np.complex64)

    def loop() -> None:
        for path in paths:
            iqfile.level_file(path, outs["loop"] / path.name)

    def agc_only() -> None:
        for _ in paths:
            agc = agc_module.AGC()
            agc.steps(in_memory, out=in_memory)

    clusters, started = [], {}
    try:
        for workers in (1, 2):
            t0 = time.perf_counter()
            cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                               dashboard_address=None, scheduler_kwargs={"dashboard_address": ":0"},
                                               silence_logs=logging.CRITICAL + 1)
            client = distributed.Client(cluster)
            started[workers] = time.perf_counter() - t0
            clusters += [client, cluster]
        one, two = clusters[0], clusters[2]
        cpu = ProcessorTime(two)
        samplers = [WallSampler(loop),
                    WallSampler(lambda: batch.level_files(paths, outs["one"], client=one)),
                    WallSampler(cpu.counted("running", lambda: batch.level_files(paths, outs["two"], client=two))),
                    WallSampler(lambda: copy_only(paths, outs["copy"])),
                    WallSampler(agc_only),
                    WallSampler(cpu.counted("embedded", lambda: batch.level_files(paths, outs["embedded"],
                                                                                 workers=2))),
                    WallSampler(cpu.counted("start", embedded_start))]
        rounds = 3 if ctx.quick else 5
        t_loop, t_one, t_two, t_copy, t_agc, t_embedded, t_start = interleaved(
            samplers, Plan(rounds, budget=90.0, min_rounds=3))
        for path in paths[::5]:  # a spot check: the clusters wrote what the loop wrote
            expected = (outs["loop"] / path.name).read_bytes()
            assert expected == (outs["one"] / path.name).read_bytes() == (outs["two"] / path.name).read_bytes() \
                == (outs["embedded"] / path.name).read_bytes()
        resumed, resumed_notes = resume_rows(ctx, batch, two, root)
    finally:
        for owned in clusters:
            owned.close()

    size = FILES * SAMPLES * 8
    label = f"{FILES} x {SAMPLES * 8 >> 20} MB"

    def rate(seconds: float) -> str:
        return f"{size / seconds / 1e6:.0f} MB/s, {FILES * SAMPLES / seconds / 1e6:.0f} Msample/s"

    report = Report(TITLE)
    report.rows += [
        Row("loop of level_file, this process", label, t_loop, None, Stated("-"), figure=rate(t_loop)),
        Row("level_files, 1 worker", label, t_one, t_loop, Stated("-"), figure=f"{t_one / t_loop:.3f}x"),
        Row("level_files, 2 workers", label, t_two, t_loop, Stated("-"),
            figure=f"{t_two / t_loop:.3f}x ({t_loop / t_two:.2f}x faster)"),
        Row("level_files, its own 2 workers started for the call", label, t_embedded, t_loop, Stated("-"),
            figure=f"{t_embedded / t_loop:.3f}x ({t_embedded / t_two:.2f}x the started cluster)"),
        Row("  of which starting and closing that cluster", "-", t_start, t_loop, Stated("-"),
            figure=f"{t_start / t_loop:.3f}x"),
        Row("read + atomic write, no AGC", label, t_copy, t_loop, Stated("-"), figure=f"{t_copy / t_loop:.3f}x"),
        Row("AGC.steps alone, in memory", label, t_agc, t_loop, Stated("-"), figure=f"{t_agc / t_loop:.3f}x"),
        *resumed,
    ]
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    bound = "the disk" if t_copy > t_agc else "the processors"
    report.notes += [
        f"baseline of every ratio: the loop; inputs {size >> 20} MB in the page cache, {cpus} processor(s)",
        f"the loop spends {t_copy / t_loop:.0%} of its time reading and writing (every output flushed to disk "
        f"before its rename) and {t_agc / t_loop:.0%} in the AGC: {bound} bound(s) it",
        f"more processes shorten the AGC's share, not the disk's: 2 workers could reach at most "
        f"{t_loop / max(t_copy, (t_copy + t_agc) / 2):.2f}x the loop's speed and reach {t_loop / t_two:.2f}x; "
        f"against 1 worker {t_one / t_two:.2f}x",
        f"clusters started in {started[1]:.1f} s (1 worker) and {started[2]:.1f} s (2 workers), not counted",
        f"processor time per recording, every process of the run: {cpu.per_file('running', FILES) * 1e3:.0f} ms "
        f"on the 2 workers started beforehand, {cpu.per_file('embedded', FILES) * 1e3:.0f} ms when level_files "
        f"starts its own, of which {cpu.per_file('start', FILES) * 1e3:.0f} ms are its start-up and close "
        f"(spawning 2 interpreters that import Dask, NumPy and quorvel), spread over the {FILES} recordings",
        *resumed_notes,
    ]
    return report

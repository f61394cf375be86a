"""agc_bank: AGCBank.steps over many channels against one AGC.steps, the
memory floor, and two threads.

The bank's aggregate rate against a single AGC.steps over as many samples
(65,536 complex64 for 8 channels of 8,192), on the same core, at decim 8,
16 and 64 and for 8, 16 and 32 channels; the target is 3x for 8 channels at
decim 8. AGCBank(1) against AGC on the same 65,536 samples (within 5%). A
block beyond the caches (32 channels of 1M samples, 256 MB each way)
against ``np.copyto`` of the same bytes, the memory floor. Two threads
each stepping a bank of its own (8 x 8,192) against one thread stepping
both in turn, on the wall clock: the bank releases the interpreter lock, so
two threads should use two cores (target 1.8x).

Multi-channel recordings: ``steps(x, layout='interleaved')`` on an (n, 8)
block against ``steps`` on its (8, n) rows (within 1.2x), in cache and
beyond, and against the transposes it saves; and an 8-channel interleaved
SigMF recording levelled file to file by ``level_file`` against the same
channels as 8 raw files of their own (target 1.5x per byte).
"""

from __future__ import annotations

import json
import threading
import time
from pathlib import Path

import numpy as np

from report import FasterBy, RatioAtMost, Report, Row, Target, fmt_count
from sections import Context
from sections.agc import BURST, LOOP_BW, samples
from sections.fixed_point import INSTALL_HINT
from timing import Call, interleaved

TITLE = "agc_bank: AGCBank.steps aggregate rate against one AGC.steps, the memory floor, two threads"

ROW = 8_192            # samples per channel of the cache-resident blocks
SHAPES = [(8, 8), (16, 8), (32, 8), (8, 16), (16, 16), (32, 16), (8, 64), (16, 64), (32, 64)]  # channels, decim
TARGET = 3.0           # 8 channels at decim 8 against one AGC
SINGLE_LIMIT = 1.05    # AGCBank(1) against AGC
THREADS_TARGET = 1.8   # two threads on two banks against one thread
INTERLEAVED_LIMIT = 1.2   # interleaved (n, 8) against (8, n) rows
RECORDING_TARGET = 1.5    # one 8-channel recording against 8 one-channel files, file to file
RECORDING = (8, 1 << 20)  # channels, samples per channel (64 MB each way)
DRAM = (32, 1 << 20)   # channels, samples per channel
BURST_ON = {name: value for settings in BURST.values() for name, value in settings.items()}


class Faster(Target):
    """Shows how many times faster ours is, without a target."""

    def judge(self, ours, base):
        return ("-", None) if base is None else (f"{base / ours:.2f}x faster", None)


def make_bank(agc_module, channels: int, decim: int, **settings):
    bank = agc_module.AGCBank(channels, ref_db=0.0, loop_bw=LOOP_BW, alpha=0.05)
    bank.decim = decim
    for name, value in settings.items():
        setattr(bank, name, value)
    return bank


def make_agc(agc_module, decim: int):
    agc = agc_module.AGC(ref_db=0.0, loop_bw=LOOP_BW, alpha=0.05)
    agc.decim = decim
    return agc


class WallSampler:
    """Seconds per round of `work` on the wall clock, where `work(k)` runs k
    rounds (threads' CPU time would not count the other threads)."""

    def __init__(self, work, min_sample: float) -> None:
        self.work = work
        work(1)  # warm-up
        started = time.perf_counter()
        work(10)
        one = max((time.perf_counter() - started) / 10, 1e-9)
        self.count = max(1, int(min_sample / one) + 1)
        self.seconds = self.count * one

    def sample(self) -> float:
        started = time.perf_counter()
        self.work(self.count)
        return (time.perf_counter() - started) / self.count


class TwoThreads:
    """Two threads, each stepping its own bank k times per round, started and
    joined at barriers; and the same calls one after the other on this thread."""

    def __init__(self, banks, blocks, outs) -> None:
        self.calls = list(zip(banks, blocks, outs))
        self.rounds = 0
        self.start, self.end = threading.Barrier(3), threading.Barrier(3)
        self.threads = [threading.Thread(target=self._worker, args=(call,), daemon=True) for call in self.calls]
        for thread in self.threads:
            thread.start()

    def _worker(self, call) -> None:
        bank, x, out = call
        while True:
            self.start.wait()
            if self.rounds < 0:
                return
            for _ in range(self.rounds):
                bank.steps(x, out=out)
            self.end.wait()

    def parallel(self, k: int) -> None:
        self.rounds = k
        self.start.wait()
        self.end.wait()

    def sequential(self, k: int) -> None:
        for bank, x, out in self.calls:
            for _ in range(k):
                bank.steps(x, out=out)

    def close(self) -> None:
        self.rounds = -1
        self.start.wait()
        for thread in self.threads:
            thread.join()


def run(ctx: Context, dram: tuple[int, int] = DRAM, recording: tuple[int, int] = RECORDING) -> Report:
    agc_module = ctx.require("quorvel.agc", INSTALL_HINT)
    rng = ctx.rng(12)
    report = Report(TITLE)

    # Cache-resident blocks against one AGC over as many samples.
    calls, made = [], []
    for channels, decim in SHAPES:
        x = samples(rng, channels * ROW)
        out = np.empty_like(x)
        bank, agc = make_bank(agc_module, channels, decim), make_agc(agc_module, decim)
        made += [bank, agc]
        calls += [Call.of(bank.steps, x.reshape(channels, ROW), out=out.reshape(channels, ROW)),
                  Call.of(agc.steps, x, out=out)]
    x = samples(rng)
    out = np.empty_like(x)
    one, single = make_bank(agc_module, 1, 8), make_agc(agc_module, 8)
    made += [one, single]
    calls += [Call.of(one.steps, x.reshape(1, -1), out=out.reshape(1, -1)), Call.of(single.steps, x, out=out)]
    # Every setting for bursts on (at values this noise never reaches) against none, 8 channels at decim 8.
    plain, bursting = make_bank(agc_module, 8, 8), make_bank(agc_module, 8, 8, **BURST_ON)
    made += [plain, bursting]
    block = x.reshape(8, -1)
    calls += [Call.of(bursting.steps, block, out=out.reshape(8, -1)), Call.of(plain.steps, block, out=out.reshape(8, -1))]
    times = interleaved(calls, ctx.plan(31, 14.0))
    for k, (channels, decim) in enumerate(SHAPES):
        target = FasterBy(TARGET) if (channels, decim) == (8, 8) else Faster()
        report.rows.append(Row(f"AGCBank({channels}).steps vs AGC.steps, decim {decim}",
                               f"{channels} x {fmt_count(ROW)}", times[2 * k], times[2 * k + 1], target))
    report.rows.append(Row("AGCBank(1).steps vs AGC.steps, decim 8", fmt_count(x.size), times[-4], times[-3],
                           RatioAtMost(SINGLE_LIMIT)))
    report.rows.append(Row("AGCBank(8).steps, decim 8, max_gain_db, gate_db and attack_db on vs off",
                           f"8 x {fmt_count(block.shape[1])}", times[-2], times[-1]))

    # Beyond the caches, against a copy of the same bytes.
    channels, n = dram
    big = samples(rng, channels * n).reshape(channels, n)
    big_out = np.empty_like(big)
    bank = make_bank(agc_module, channels, 8)
    made.append(bank)
    t_bank, t_copy = interleaved([Call.of(bank.steps, big, out=big_out), Call.of(np.copyto, big_out, big)],
                                 ctx.plan(9, 12.0, min_sample=0.0))
    report.rows.append(Row(f"AGCBank({channels}).steps vs np.copyto, decim 8", f"{channels} x {fmt_count(n)}",
                           t_bank, t_copy))
    del big, big_out

    # Two threads on two banks against one thread on both.
    blocks = [samples(rng, 8 * ROW).reshape(8, ROW) for _ in range(2)]
    banks = [make_bank(agc_module, 8, 8) for _ in range(2)]
    made += banks
    pair = TwoThreads(banks, blocks, [np.empty_like(b) for b in blocks])
    try:
        # Waking the two threads at the barriers costs a few hundred microseconds, and
        # the two cores take a while to run side by side: samples of 100 ms.
        plan = ctx.plan(15, 10.0, min_sample=0.1)
        t_two, t_one = interleaved([WallSampler(pair.parallel, plan.min_sample),
                                    WallSampler(pair.sequential, plan.min_sample)], plan)
    finally:
        pair.close()
    report.rows.append(Row("two threads, a bank each, vs one thread stepping both", f"2 x 8 x {fmt_count(ROW)}",
                           t_two, t_one, FasterBy(THREADS_TARGET)))

    report.rows += interleaved_rows(ctx, agc_module, rng, made, dram[1], recording)

    report.notes.append(f"ref_db 0, loop_bw {LOOP_BW:g}, alpha 0.05 on complex Gaussian noise at -10 dB; each AGC "
                        "takes the bank's samples as one row; the thread rows are wall-clock times")
    for obj in made:
        obj.destroy()
    return report


def transposed_steps(bank, x, rows, out) -> None:
    """What multi-channel recordings took before the interleaved layout: the
    block into rows, the bank over them, and back."""
    rows[...] = x.T
    bank.steps(rows, out=rows)
    out[...] = rows.T


def interleaved_rows(ctx: Context, agc_module, rng, made: list, n_big: int, recording: tuple[int, int]) -> list[Row]:
    """The interleaved layout against rows and the transposes, then file to file."""
    rows = []
    for n in (ROW, n_big):
        x = samples(rng, 8 * n)
        columns, by_rows, out, scratch = x.reshape(n, 8), x.reshape(8, n), np.empty((n, 8), np.complex64), \
            np.empty((8, n), np.complex64)
        banks = [make_bank(agc_module, 8, 8) for _ in range(3)]
        made += banks
        t_inter, t_rows, t_moved = interleaved(
            [Call.of(banks[0].steps, columns, out=out, layout="interleaved"),
             Call.of(banks[1].steps, by_rows, out=scratch),
             Call.of(transposed_steps, banks[2], columns, scratch, out)], ctx.plan(15, 8.0, min_sample=0.0))
        rows += [Row("AGCBank(8).steps interleaved (n, 8) vs rows (8, n), decim 8", f"8 x {fmt_count(n)}", t_inter,
                     t_rows, RatioAtMost(INTERLEAVED_LIMIT)),
                 Row("AGCBank(8).steps interleaved vs transpose, rows, transpose back", f"8 x {fmt_count(n)}",
                     t_inter, t_moved, Faster())]
    rows.append(recording_row(ctx, rng, *recording))
    return rows


def recording_row(ctx: Context, rng, channels: int, n: int) -> Row:
    """A multi-channel interleaved recording file to file against its channels as files of their own."""
    iqfile = ctx.require("quorvel.iqfile", INSTALL_HINT)
    ctx.require("sigmf", "pip install 'quorvel[sigmf]'")
    folder = Path(ctx.build_dir) / "recordings"
    folder.mkdir(parents=True, exist_ok=True)
    block = samples(rng, channels * n).reshape(n, channels)
    meta = {"global": {"core:datatype": "cf32_le", "core:version": "1.2.0", "core:num_channels": channels},
            "captures": [{"core:sample_start": 0}], "annotations": []}
    (folder / "wide.sigmf-meta").write_text(json.dumps(meta))
    block.tofile(folder / "wide.sigmf-data")
    singles = [folder / f"channel{c}.cf32" for c in range(channels)]
    for c, path in enumerate(singles):
        np.ascontiguousarray(block[:, c]).tofile(path)
    del block

    def separate() -> None:
        for path in singles:
            iqfile.level_file(path, folder / f"out{path.name}")

    def wide() -> None:
        iqfile.level_file(folder / "wide.sigmf-meta", folder / "out.sigmf-meta")

    # On the wall clock, as a user waits for it: reading and the flush to disk count.
    plan = ctx.plan(7, 20.0, min_sample=0.0)
    t_wide, t_separate = interleaved([WallSampler(lambda k: [wide() for _ in range(k)], 0.0),
                                      WallSampler(lambda k: [separate() for _ in range(k)], 0.0)], plan)
    out = np.fromfile(folder / "out.sigmf-data", np.complex64).reshape(n, channels)
    for c in (0, channels - 1):  # the recording's channels are the files' outputs
        assert out[:, c].tobytes() == (folder / f"out{singles[c].name}").read_bytes()
    return Row(f"level_file, one {channels}-channel SigMF recording vs {channels} files of a channel (wall clock)",
               f"{channels} x {fmt_count(n)}", t_wide, t_separate, FasterBy(RECORDING_TARGET))

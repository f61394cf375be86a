"""telemetry: what watching an AGC costs, the emit itself, and reading.

AGC.steps on 65,536 samples (decim 8) with telemetry attached (telemetry
decim 1: two records per chunk) against the same call detached, the ring
drained between samples and not timed; the inline emit in a tight C++ loop
(benchmarks/native/tlm_emit.cpp, built against the sources of this
checkout); reading a million waiting records into NumPy against one
np.copyto of the same 16 MB.
"""

from __future__ import annotations

import subprocess
from pathlib import Path

import numpy as np

from machine import clock_mhz
from report import RatioAtMost, Report, Row, Stated
from sections import Context, Skip
from sections.agc import SAMPLES, make_agc, samples
from sections.fixed_point import INSTALL_HINT
from timing import CLOCK, Call, interleaved

TITLE = "telemetry: AGC.steps attached vs detached, the emit, and reading into NumPy"

ROOT = Path(__file__).resolve().parents[2]
DECIM = 8
ATTACHED_LIMIT = 1.03
KEPT_NS, THINNED_NS = 2.0, 1.0
READ_RECORDS = 1_000_000
READ_VS_COPY = 1.10  # "at the speed of one np.copyto of the same 16 MB" (0.4 ns/record on a Zen 4 with fast DRAM)


class PerCall:
    """Samples one call at a time, running `before` untimed ahead of each, so
    that the attached AGC always finds an empty ring (dropping a record is
    cheaper than writing it) and the drain is not timed. Both sides of the
    comparison are sampled this way."""

    def __init__(self, fn, before=None, calls: int = 8) -> None:
        self.fn, self.before, self.calls = fn, before, calls
        self.seconds = self.sample() * calls

    def sample(self) -> float:
        total = 0.0
        for _ in range(self.calls):
            if self.before:
                self.before()
            start = CLOCK()
            self.fn()
            total += CLOCK() - start
        return total / self.calls


class ReadSampler:
    """Fills the ring with READ_RECORDS records (untimed), then times one read."""

    def __init__(self, tlm, fill, dtype) -> None:
        self.tlm, self.fill = tlm, fill
        self.out = np.ones(READ_RECORDS, dtype)  # written once: no first-touch faults
        self.seconds = 0.05

    def sample(self) -> float:
        self.fill()
        start = CLOCK()
        got = self.tlm.read(out=self.out)
        elapsed = CLOCK() - start
        assert len(got) == READ_RECORDS, len(got)
        return elapsed


def shmem_huge_pages() -> str:
    try:
        setting = Path("/sys/kernel/mm/transparent_hugepage/shmem_enabled").read_text()
    except OSError:
        return "unknown"
    return setting.split("[")[1].split("]")[0] if "[" in setting else setting.strip()


def emit_costs(ctx: Context) -> tuple[float, float]:
    """ns per kept and per thinned-out emit from the C++ harness."""
    source = ROOT / "benchmarks" / "native" / "tlm_emit.cpp"
    core = ROOT / "src" / "qv_tlm" / "qv_tlm_core.cpp"
    if not core.is_file():
        raise Skip("the emit harness builds from a source checkout (src/qv_tlm not found)")
    exe = ctx.build_dir / "native" / "tlm_emit"
    if not exe.exists() or exe.stat().st_mtime < max(source.stat().st_mtime, core.stat().st_mtime):
        exe.parent.mkdir(parents=True, exist_ok=True)
        cmd = ["g++", "-O2", "-march=native", "-std=c++20", f"-I{ROOT / 'src'}", str(source), str(core), "-o", str(exe)]
        got = subprocess.run(cmd, capture_output=True, text=True)
        if got.returncode:
            raise Skip(f"could not build the emit harness: {got.stderr.strip().splitlines()[-1:]}")
    runs = [subprocess.run([str(exe)], capture_output=True, text=True, check=True).stdout.split() for _ in range(5)]
    kept = sorted(float(r[0]) for r in runs)[2]
    thinned = sorted(float(r[1]) for r in runs)[2]
    return kept, thinned


def run(ctx: Context) -> Report:
    agc_module = ctx.require("quorvel.agc", INSTALL_HINT)
    telemetry = ctx.require("quorvel.telemetry", INSTALL_HINT)
    x = samples(ctx.rng(11))
    out = np.empty_like(x)
    report = Report(TITLE)

    # One call writes 2 * 65,536 / 8 records: a ring of twice that holds them with room to spare.
    tlm = telemetry.Telemetry(4 * SAMPLES // DECIM)
    attached, detached = make_agc(agc_module, DECIM), make_agc(agc_module, DECIM)
    tlm.attach(attached, decim=1)
    drain_buf = np.empty(tlm.capacity, telemetry.RECORD)

    def drain():
        while len(tlm.read(out=drain_buf)):
            pass
    t_attached, t_detached = interleaved([PerCall(lambda: attached.steps(x, out=out), drain),
                                          PerCall(lambda: detached.steps(x, out=out))], ctx.plan(41, 8.0))
    report.rows.append(Row(f"steps decim {DECIM}, attached vs detached", f"{SAMPLES:,}", t_attached, t_detached,
                           RatioAtMost(ATTACHED_LIMIT)))
    assert tlm.dropped == 0

    # A million waiting records: decim-1 AGC updates give two records per sample.
    tlm.resize(READ_RECORDS)
    filler = make_agc(agc_module, 1)
    tlm.attach(filler, prefix="fill")
    fill_x = samples(ctx.rng(12), READ_RECORDS // 2)
    fill_out = np.empty_like(fill_x)
    # The baselines move the same bytes as plain integers (a structured copy takes a slow path):
    # from a NumPy array (which Linux may back with huge pages) and from a bytearray's 4 KiB pages,
    # like the ring's shared memory where the system gives shared memory no huge pages.
    src, dst = np.ones(2 * READ_RECORDS, np.uint64), np.ones(2 * READ_RECORDS, np.uint64)
    src_small_pages = np.frombuffer(bytearray(16 * READ_RECORDS), np.uint64)
    read, copy, copy_small = interleaved(
        [ReadSampler(tlm, lambda: filler.steps(fill_x, out=fill_out), telemetry.RECORD),
         Call.of(np.copyto, dst, src), Call.of(np.copyto, dst, src_small_pages)], ctx.plan(15, 4.0))
    report.rows.append(Row("read 1M records vs np.copyto of 16 MB", "1M", read, copy, RatioAtMost(READ_VS_COPY)))
    report.rows.append(Row("read 1M records vs copyto from 4 KiB pages", "1M", read, copy_small,
                           RatioAtMost(READ_VS_COPY)))
    report.notes.append(f"read: {read / READ_RECORDS * 1e9:.2f} ns/record, np.copyto {copy / READ_RECORDS * 1e9:.2f} "
                        f"(from 4 KiB pages {copy_small / READ_RECORDS * 1e9:.2f}); one memcpy, bound by memory "
                        f"bandwidth and the page size (shared-memory huge pages: {shmem_huge_pages()})")
    tlm.close()

    try:
        kept, thinned = emit_costs(ctx)
    except Skip as why:
        report.notes.append(f"emit rows skipped: {why}")
    else:
        for label, ns, limit in (("emit, kept record", kept, KEPT_NS), ("emit, thinned out", thinned, THINNED_NS)):
            report.rows.append(Row(label, "1", ns * 1e-9, None, Stated(f"<= {limit:g} ns"),
                                   figure=f"{ns:.3g} ns", met=ns <= limit))
        mhz = clock_mhz()
        if mhz:
            report.notes.append(f"emit at this CPU's {mhz:.0f} MHz: kept {kept * mhz / 1000:.1f} cycles, "
                                f"thinned {thinned * mhz / 1000:.1f} cycles (the limits were set on a 3.67 GHz Zen 4)")
    report.notes.append("attached: telemetry decim 1 on AGC decim 8, the ring drained before every call, untimed; "
                        "both sides timed one call at a time")
    return report

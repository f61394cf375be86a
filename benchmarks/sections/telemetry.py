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
from timing import CLOCK, Call, TimerSampler, interleaved

TITLE = "telemetry: AGC.steps attached vs detached, the emit, and reading into NumPy"

ROOT = Path(__file__).resolve().parents[2]
DECIM = 8
ATTACHED_LIMIT = 1.03
KEPT_NS, THINNED_NS = 2.0, 1.0
READ_RECORDS = 1_000_000
READ_VS_COPY = 1.10  # "at the speed of one np.copyto of the same 16 MB" (0.4 ns/record on a Zen 4 with fast DRAM)


class Drained:
    """Samples a Call after emptying the ring, so no record is ever dropped
    (dropping is cheaper than writing) and the drain is not timed."""

    def __init__(self, call: Call, tlm, min_sample: float) -> None:
        self.tlm = tlm
        self.buf = np.empty(tlm.capacity, tlm_record(tlm))
        self.inner = TimerSampler(call, min_sample)
        self.seconds = self.inner.seconds

    def drain(self) -> None:
        while len(self.tlm.read(out=self.buf)):
            pass

    def sample(self) -> float:
        self.drain()
        return self.inner.sample()


class ReadSampler:
    """Fills the ring with READ_RECORDS records (untimed), then times one read."""

    def __init__(self, tlm, fill) -> None:
        self.tlm, self.fill = tlm, fill
        self.out = np.ones(READ_RECORDS, tlm_record(tlm))  # written once: no first-touch faults
        self.seconds = 0.05

    def sample(self) -> float:
        self.fill()
        start = CLOCK()
        got = self.tlm.read(out=self.out)
        elapsed = CLOCK() - start
        assert len(got) == READ_RECORDS, len(got)
        return elapsed


def tlm_record(tlm):
    from quorvel.telemetry import RECORD
    return RECORD


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

    tlm = telemetry.Telemetry(1 << 20)
    attached, detached = make_agc(agc_module, DECIM), make_agc(agc_module, DECIM)
    tlm.attach(attached, decim=1)
    plan = ctx.plan(41, 8.0)
    with_tlm = Drained(Call.of(attached.steps, x, out=out), tlm, plan.min_sample)
    t_attached, t_detached = interleaved([with_tlm, Call.of(detached.steps, x, out=out)], plan)
    report.rows.append(Row(f"steps decim {DECIM}, attached vs detached", f"{SAMPLES:,}", t_attached, t_detached,
                           RatioAtMost(ATTACHED_LIMIT)))
    assert tlm.dropped == 0

    # A million waiting records: decim-1 AGC updates give two records per sample.
    filler = make_agc(agc_module, 1)
    tlm.attach(filler, prefix="fill")
    fill_x = samples(ctx.rng(12), READ_RECORDS // 2)
    fill_out = np.empty_like(fill_x)
    # The baseline moves the same bytes as plain integers (a structured copy takes a slow path).
    src, dst = np.ones(2 * READ_RECORDS, np.uint64), np.ones(2 * READ_RECORDS, np.uint64)
    read, copy = interleaved([ReadSampler(tlm, lambda: filler.steps(fill_x, out=fill_out)),
                              Call.of(np.copyto, dst, src)], ctx.plan(15, 4.0))
    report.rows.append(Row("read 1M records vs np.copyto of 16 MB", "1M", read, copy, RatioAtMost(READ_VS_COPY)))
    report.notes.append(f"read: {read / READ_RECORDS * 1e9:.2f} ns/record, np.copyto {copy / READ_RECORDS * 1e9:.2f}; "
                        "both are bound by memory bandwidth")
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
    report.notes.append("attached: telemetry decim 1 on AGC decim 8, the ring drained before every sample, untimed")
    return report

"""agc: AGC.steps and AGC.stream throughput, allocations, and one AGC.step.

steps runs 65,536 complex64 samples into a preallocated out= at decim 8, 16
and 64; the targets are 80% of the chain bound on a 3.67 GHz Zen 4. The same
calls with the acquisition mode on are shown against them, then at decim 8
each setting for bursts on (a ceiling, a gate and a fast attack that this
signal never reaches: the cost of their tests) and PRESETS['burst'], and
stream in one call, which must keep within 5% of steps. stream fed the same samples in
4,096-sample and in odd-sized calls (1,001 samples; 1,000 at decim 4,096,
where every call ends inside a chunk) is shown against steps fed the same
calls: the difference is what carrying the chunks costs. With out=
a call should allocate nothing: tracemalloc's peak over 1,000 calls stays at
the interpreter's few bytes of argument packing and does not grow with the
number of calls. One step(x) call is shown next to a trivial C method call.
"""

from __future__ import annotations

import numpy as np

from machine import clock_mhz
from report import RateAtLeast, RatioAtMost, Report, Row, Stated, fmt_count
from sections import Context
from sections.fixed_point import INSTALL_HINT
from timing import Call, interleaved, peak_bytes

TITLE = "agc: AGC.steps with out= (Msample/s), its allocations, and one AGC.step call"

SAMPLES = 65_536
TARGETS = {8: 190, 16: 340, 64: 850}  # decim: Msample/s
REFERENCE_GHZ = 3.67
LOOP_BW = 1e-4  # keeps 4 * decim * loop_bw <= 0.05 up to decim 64
STREAM_LIMIT = 1.05  # stream / steps, one call of SAMPLES
PIECES = [(8, 4096), (8, 1001), (4096, 1000)]  # decim, samples per stream call
ALLOC_CALLS = 1000
ALLOC_LIMIT = 1024  # bytes: room for argument packing, far below one buffer


def samples(rng: np.random.Generator, n: int = SAMPLES) -> np.ndarray:
    """Complex Gaussian noise at -10 dB: the block every AGC row runs."""
    scale = np.sqrt(0.1 / 2)
    return (scale * (rng.standard_normal(n) + 1j * rng.standard_normal(n))).astype(np.complex64)


# Each setting for bursts on, at a value the noise never reaches.
BURST = {"max_gain_db": dict(max_gain_db=60.0), "gate_db": dict(gate_db=-100.0), "attack_db": dict(attack_db=30.0)}


def make_agc(agc_module, decim: int, acquire: bool = False, **settings):
    agc = agc_module.AGC(ref_db=0.0, loop_bw=LOOP_BW, alpha=0.05)
    agc.decim = decim
    agc.acquire = acquire
    for name, value in settings.items():
        setattr(agc, name, value)
    return agc


def allocation_row(agc, x: np.ndarray, out: np.ndarray) -> Row:
    with_out = Call("agc.steps(x, out=out)", agc=agc, x=x, out=out)
    one, many = peak_bytes(with_out, 1), peak_bytes(with_out, ALLOC_CALLS)
    without = peak_bytes(Call("agc.steps(x)", agc=agc, x=x), 1)
    return Row(f"steps out= alloc peak, {ALLOC_CALLS:,} calls", fmt_count(SAMPLES),
               figure=f"{many} B (1 call: {one} B; no out=: {without:,} B)",
               target=Stated(f"< {ALLOC_LIMIT} B, no growth"), met=many < ALLOC_LIMIT and many <= one)


def fed_in_pieces(method, x: np.ndarray, out: np.ndarray, size: int) -> Call:
    """method over x in calls of `size` samples (the last shorter), views made beforehand."""
    pieces = [(x[i:i + size], out[i:i + size]) for i in range(0, len(x), size)]
    return Call("for p, q in pieces: method(p, out=q)", pieces=pieces, method=method)


def target_note() -> str:
    mhz = clock_mhz()
    note = f"targets are 80% of the chain bound on a {REFERENCE_GHZ} GHz Zen 4"
    if mhz:
        scaled = " / ".join(f"{t * mhz / 1000 / REFERENCE_GHZ:.0f}" for t in TARGETS.values())
        note += f"; scaled to this CPU's {mhz:.0f} MHz they would be {scaled} Msample/s"
    return note


def run(ctx: Context) -> Report:
    agc_module = ctx.require("quorvel.agc", INSTALL_HINT)
    x = samples(ctx.rng(11))
    out = np.empty_like(x)
    agcs = {d: make_agc(agc_module, d) for d in TARGETS}
    acquiring = {d: make_agc(agc_module, d, acquire=True) for d in TARGETS}
    streaming = {d: make_agc(agc_module, d) for d in TARGETS}
    fed = [make_agc(agc_module, d) for d, _ in PIECES]
    cut = [make_agc(agc_module, d) for d, _ in PIECES]
    single = make_agc(agc_module, 8)
    bursting = [make_agc(agc_module, 8, **settings) for settings in BURST.values()]
    bursting.append(agc_module.AGC.from_preset("burst", loop_bw=LOOP_BW, decim=8))
    calls = [Call.of(a.steps, x, out=out) for a in [*agcs.values(), *acquiring.values(), *bursting]]
    calls += [Call.of(a.stream, x, out=out) for a in streaming.values()]
    calls += [fed_in_pieces(a.stream, x, out, size) for a, (_, size) in zip(fed, PIECES)]
    calls += [fed_in_pieces(a.steps, x, out, size) for a, (_, size) in zip(cut, PIECES)]
    calls += [Call("agc.step(s)", agc=single, s=complex(x[0])), Call("c.conjugate()", c=1 + 0j)]
    *blocks, step, conjugate = interleaved(calls, ctx.plan(41, 14.0))
    k, p, b = len(TARGETS), len(PIECES), len(bursting)
    off, on, burst = blocks[:k], blocks[k:2 * k], blocks[2 * k:2 * k + b]
    stream = blocks[2 * k + b:3 * k + b]
    stream_pieces, steps_pieces = blocks[3 * k + b:3 * k + b + p], blocks[3 * k + b + p:]

    report = Report(TITLE)
    report.rows += [Row(f"steps, decim {d}", fmt_count(SAMPLES), t, None, RateAtLeast(TARGETS[d], SAMPLES))
                    for d, t in zip(TARGETS, off)]
    report.rows += [Row(f"steps, decim {d}, acquire on vs off", fmt_count(SAMPLES), t_on, t_off)
                    for d, t_on, t_off in zip(TARGETS, on, off)]
    report.rows += [Row(f"steps, decim 8, {name} on vs off", fmt_count(SAMPLES), t, off[0])
                    for name, t in zip([*BURST, "PRESETS['burst'] at decim 8"], burst)]
    report.rows += [Row(f"stream, decim {d}, one call vs steps", fmt_count(SAMPLES), t_stream, t_steps,
                        RatioAtMost(STREAM_LIMIT)) for d, t_stream, t_steps in zip(TARGETS, stream, off)]
    report.rows += [Row(f"stream, decim {d}, {size:,}-sample calls vs steps so cut", fmt_count(SAMPLES), t, t_steps)
                    for (d, size), t, t_steps in zip(PIECES, stream_pieces, steps_pieces)]
    report.rows.append(allocation_row(agcs[8], x, out))
    report.rows.append(Row("step(x) vs (1+0j).conjugate()", "1", step, conjugate))
    report.notes.append(target_note())
    report.notes.append(f"AGC(ref_db=0, loop_bw={LOOP_BW:g}, alpha=0.05) on complex Gaussian noise at -10 dB; "
                        "the loop keeps running across calls")
    for a in [*agcs.values(), *acquiring.values(), *bursting, *streaming.values(), *fed, *cut, single]:
        a.destroy()
    return report

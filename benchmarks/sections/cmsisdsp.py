"""cmsisdsp: the same Q15/Q8 operations through the cmsisdsp Python wrapper.

Peer rows only, without targets: both sides return new arrays (or an int),
both are timed on the same buffers in alternation. The wrapper's Q7 is our
Q8 (one sign bit, seven fraction bits). Its multiply and right shift do not
round half up as ours do, so the note says which operations give identical
results here.
"""

from __future__ import annotations

from report import Report, Row, fmt_count
from sections import Context
from sections.fixed_point import INSTALL_HINT, Q8, Q15, SHIFT, SHIFTS, Format, kernel_call, kernel_name, operands, same_result
from timing import Call, interleaved

TITLE = "cmsisdsp: the Q15/Q8 kernels next to the cmsisdsp wrapper (peer rows, no targets)"

PLANS = {1_000_000: (21, 5.0), 16_000_000: (9, 8.0)}  # elements: (rounds, seconds)
PEER_NAMES = {"add": "arm_add", "sub": "arm_sub", "mul": "arm_mult", "dot": "arm_dot_prod", "shl": "arm_shift", "shr": "arm_shift"}
PEER_SUFFIX = {Q15: "q15", Q8: "q7"}


def peer_name(fmt: Format, op: str) -> str:
    return f"{PEER_NAMES[op]}_{PEER_SUFFIX[fmt]}"


def peer_call(dsp, fmt: Format, op: str, a, b) -> Call:
    fn = getattr(dsp, peer_name(fmt, op))
    if op in SHIFTS:
        return Call.of(fn, a, SHIFT if op == "shl" else -SHIFT)
    return Call.of(fn, a, b)


def run(ctx: Context) -> Report:
    dsp = ctx.require("cmsisdsp", "pip install cmsisdsp (builds from source where no wheel fits, ~1-2 minutes)")
    arith = ctx.require("quorvel.arith", INSTALL_HINT)
    report = Report(TITLE)
    agree: dict[str, bool] = {}
    for fmt in (Q15, Q8):
        for n, plan in PLANS.items():
            a, b = operands(fmt, n, ctx.rng(n))
            pairs = [(kernel_call(arith, fmt, op, a, b), peer_call(dsp, fmt, op, a, b)) for op in fmt.ops]
            for op, (ours, peer) in zip(fmt.ops, pairs):
                agree.setdefault(kernel_name(fmt, op), same_result(ours.run(), peer.run()))
            times = interleaved([c for pair in pairs for c in pair], ctx.plan(*plan))
            report.rows += [
                Row(f"{kernel_name(fmt, op)} vs {peer_name(fmt, op)}", fmt_count(n), times[2 * i], times[2 * i + 1])
                for i, op in enumerate(fmt.ops)
            ]
    version = getattr(dsp, "__version__", None) or _dist_version("cmsisdsp")
    report.notes.append(f"cmsisdsp {version}; shifts by {SHIFT} (arm_shift with +{SHIFT} / -{SHIFT}).")
    report.notes.append("identical results: " + (", ".join(k for k, v in agree.items() if v) or "none"))
    report.notes.append("different results: " + (", ".join(k for k, v in agree.items() if not v) or "none"))
    return report


def _dist_version(name: str) -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(name)
    except PackageNotFoundError:
        return "(version unknown)"

"""arith: the fixed-point kernels against np.add and their NumPy expressions.

np.add(a, b) on the same dtype returns a new array, as every kernel does, so
it is the floor a kernel is held to: 1.10x of it in cache (1M elements),
1.20x from DRAM (16M); shifts and inner products read or write less and must
stay under 0.80x. The exact NumPy expression of each kernel (checked once to
give identical results) must be 20x slower, and at 16 elements one kernel
call must cost no more than one np.add call.
"""

from __future__ import annotations

import numpy as np

from report import FasterBy, RatioAtMost, Report, Row, fmt_count
from sections import Context
from sections.fixed_point import (FORMATS, INSTALL_HINT, SHIFT, SHIFTS, Format, check_equivalent, expr_call, kernel_call,
                                  kernel_name, numpy_expr, operands)
from timing import Call, interleaved

TITLE = "arith: fixed-point kernels against np.add on the same dtype and against the NumPy expression"

CACHED, DRAM, TINY = 1_000_000, 16_000_000, 16
PLANS = {CACHED: (31, 8.0), DRAM: (31, 15.0), TINY: (41, 3.0)}  # elements: (rounds, seconds)


def floor_target(op: str, n: int) -> RatioAtMost:
    if op == "dot" or op in SHIFTS:
        return RatioAtMost(0.80)
    return RatioAtMost(1.10 if n <= CACHED else 1.20)


def bulk_rows(ctx: Context, arith, fmt: Format, n: int) -> list[Row]:
    """Every kernel of `fmt` at n elements against np.add, and at CACHED also against its expression."""
    a, b = operands(fmt, n, ctx.rng(n))
    with_exprs = n == CACHED
    if with_exprs:
        for op in fmt.ops:
            check_equivalent(arith, fmt, op, a, b)
    calls = [Call.of(np.add, a, b)] + [kernel_call(arith, fmt, op, a, b) for op in fmt.ops]
    if with_exprs:
        calls += [expr_call(fmt, op, a, b) for op in fmt.ops]
    times = interleaved(calls, ctx.plan(*PLANS[n]))
    floor, ours, exprs = times[0], times[1 : 1 + len(fmt.ops)], times[1 + len(fmt.ops) :]
    size = fmt_count(n)
    rows = [Row(f"{kernel_name(fmt, op)} vs np.add", size, t, floor, floor_target(op, n)) for op, t in zip(fmt.ops, ours)]
    rows += [Row(f"{kernel_name(fmt, op)} vs NumPy expr", size, t, e, FasterBy(20)) for op, t, e in zip(fmt.ops, ours, exprs)]
    return rows


def tiny_rows(ctx: Context, arith, fmt: Format) -> list[Row]:
    """One call of each kernel against one np.add call, on 16 elements."""
    a, b = operands(fmt, TINY, ctx.rng(TINY))
    calls = [Call.of(np.add, a, b)] + [kernel_call(arith, fmt, op, a, b) for op in fmt.ops]
    floor, *ours = interleaved(calls, ctx.plan(*PLANS[TINY]))
    return [Row(f"{kernel_name(fmt, op)} vs np.add", str(TINY), t, floor, RatioAtMost(1.0)) for op, t in zip(fmt.ops, ours)]


def run(ctx: Context) -> Report:
    arith = ctx.require("quorvel.arith", INSTALL_HINT)
    report = Report(TITLE)
    for fmt in FORMATS:
        for n in (CACHED, DRAM):
            report.rows += bulk_rows(ctx, arith, fmt, n)
    for fmt in FORMATS:
        report.rows += tiny_rows(ctx, arith, fmt)
    report.notes.append(f"shl/shr shift by {SHIFT}; np.add adds two arrays of the kernel's dtype.")
    report.notes.append("NumPy expressions (each checked once to give identical results), timed at 1M:")
    report.notes += [f"  {kernel_name(fmt, op):8} {numpy_expr(fmt, op)}" for fmt in FORMATS for op in fmt.ops]
    return report

"""interp: InterpolatedTable.execute (linear, out=) on a million points.

Against np.interp with the same complex table and period=n (the values are
checked once to agree to 1e-12), and in ns per point across table lengths
(points over +-5 periods) and across spreads of the points (table of 1,024):
the cost should stay flat at <= 2.5 ns per point.
"""

from __future__ import annotations

import numpy as np

from report import FasterBy, PerItemAtMost, Report, Row, fmt_count
from sections import Context
from sections.fixed_point import INSTALL_HINT
from timing import Call, interleaved

TITLE = "interp: InterpolatedTable.execute, linear, with out="

POINTS = 1_000_000
TABLE = 1024
PERIODS = 5  # points drawn uniformly from +-PERIODS periods
LENGTHS = (16, 1024, 65536, 1_000_000)
SPREADS = (1e3, 1e6, 1e9, 1e12)
NS_PER_POINT = 2.5
SPEEDUP = 25
TOLERANCE = 1e-12


def complex_table(n: int, rng: np.random.Generator) -> np.ndarray:
    return rng.standard_normal(n) + 1j * rng.standard_normal(n)


def check_against_numpy(values: np.ndarray, x: np.ndarray, table: np.ndarray) -> None:
    ref = np.interp(x, np.arange(len(table), dtype=float), table, period=len(table))
    worst = float(np.max(np.abs(values - ref)))
    if not worst <= TOLERANCE:
        raise AssertionError(f"execute differs from np.interp by up to {worst:.3g} (> {TOLERANCE:g})")


def cases(rng: np.random.Generator) -> list[tuple[str, np.ndarray, np.ndarray]]:
    """(label, table, points) for every ns-per-point row; the first is the np.interp case."""
    by_length = {n: (complex_table(n, rng), rng.uniform(-PERIODS * n, PERIODS * n, POINTS)) for n in LENGTHS}
    head = [(f"table {fmt_count(TABLE)}, |x| <= {PERIODS} periods", *by_length.pop(TABLE))]
    rest = [(f"table {fmt_count(n)}, |x| <= {PERIODS} periods", t, x) for n, (t, x) in by_length.items()]
    table = head[0][1]
    spreads = [(f"table {fmt_count(TABLE)}, |x| <= 1e{round(np.log10(s))}", table, rng.uniform(-s, s, POINTS)) for s in SPREADS]
    return head + rest + spreads


def run(ctx: Context) -> Report:
    interp = ctx.require("quorvel.interp", INSTALL_HINT)
    all_cases = cases(ctx.rng(7))
    tables = [interp.InterpolatedTable(t, "linear") for _, t, _ in all_cases]
    out = np.empty(POINTS, np.complex128)
    try:
        _, head_table, head_x = all_cases[0]
        check_against_numpy(tables[0].execute(head_x, out=out), head_x, head_table)
        numpy_call = Call.of(np.interp, head_x, np.arange(TABLE, dtype=float), head_table, period=TABLE)
        calls = [numpy_call] + [Call.of(t.execute, x, out=out) for t, (_, _, x) in zip(tables, all_cases)]
        numpy_time, *ours = interleaved(calls, ctx.plan(31, 15.0))
    finally:
        for t in tables:
            t.destroy()

    size = fmt_count(POINTS)
    report = Report(TITLE)
    report.rows.append(Row(f"execute vs np.interp(period={TABLE}), table {fmt_count(TABLE)}", size, ours[0],
                           numpy_time, FasterBy(SPEEDUP)))
    report.rows += [Row(f"execute, {label}", size, t, None, PerItemAtMost(NS_PER_POINT, POINTS, "pt"))
                    for (label, _, _), t in zip(all_cases, ours)]
    report.notes.append("points uniform over the range; complex128 tables of N(0,1) parts; the np.interp values "
                        f"are checked to agree within {TOLERANCE:g} before timing")
    return report

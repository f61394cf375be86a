"""Rows, targets and the plain-text table every section prints."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Optional


def fmt_time(seconds: Optional[float]) -> str:
    if seconds is None:
        return "-"
    for scale, unit in ((1.0, "s"), (1e-3, "ms"), (1e-6, "us")):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def fmt_count(n: int) -> str:
    """1,000,000 -> '1M', 65536 -> '65,536'; exact multiples of 10**6 only."""
    if n >= 1_000_000 and n % 1_000_000 == 0:
        return f"{n // 1_000_000}M"
    return f"{n:,}"


class Target:
    """What a row has to reach; the base class has none and shows the plain ratio.

    `judge(ours, base)` gives the figure for the ratio column and whether the
    target is met (None: nothing to judge).
    """

    text = "-"

    def judge(self, ours: float, base: Optional[float]) -> tuple[str, Optional[bool]]:
        return ("-" if base is None else f"{ours / base:.3f}x"), None


INFO = Target()


class Stated(Target):
    """A target that is not a timing: the row sets its own figure and verdict."""

    def __init__(self, text: str) -> None:
        self.text = text


class RatioAtMost(Target):
    """ours / baseline time <= limit."""

    def __init__(self, limit: float) -> None:
        self.limit, self.text = limit, f"<= {limit:.2f}x"

    def judge(self, ours, base):
        if base is None:
            return "-", None
        return f"{ours / base:.3f}x", ours / base <= self.limit


class FasterBy(Target):
    """baseline / ours time >= factor; the ratio shown is still ours / baseline."""

    def __init__(self, factor: float) -> None:
        self.factor, self.text = factor, f">= {factor:g}x faster"

    def judge(self, ours, base):
        if base is None:
            return "-", None
        return f"{ours / base:.4f}x ({base / ours:.1f}x faster)", base / ours >= self.factor


class PerItemAtMost(Target):
    """Nanoseconds per item (ours / items) <= limit."""

    def __init__(self, limit_ns: float, items: int, unit: str) -> None:
        self.limit_ns, self.items, self.unit = limit_ns, items, unit
        self.text = f"<= {limit_ns:g} ns/{unit}"

    def judge(self, ours, base):
        ns = ours / self.items * 1e9
        return f"{ns:.3g} ns/{self.unit}", ns <= self.limit_ns


class RateAtLeast(Target):
    """Millions of items per second (items / ours) >= limit."""

    def __init__(self, limit_m: float, items: int, unit: str = "Msample/s") -> None:
        self.limit_m, self.items, self.unit = limit_m, items, unit
        self.text = f">= {limit_m:g} {unit}"

    def judge(self, ours, base):
        rate = self.items / ours / 1e6
        return f"{rate:.4g} {self.unit}", rate >= self.limit_m


class Rate(Target):
    """Shows millions of items per second (items / ours), without a target."""

    def __init__(self, items: int, unit: str = "Msample/s") -> None:
        self.items, self.unit = items, unit

    def judge(self, ours, base):
        return f"{self.items / ours / 1e6:.4g} {self.unit}", None


@dataclass
class Row:
    op: str
    size: str
    ours: Optional[float] = None  # median seconds per call
    base: Optional[float] = None  # baseline median seconds per call
    target: Target = INFO
    figure: Optional[str] = None  # set with `met` by rows that are not timings
    met: Optional[bool] = None

    def cells(self) -> list[str]:
        figure, met = self.figure, self.met
        if figure is None and self.ours is not None:
            figure, met = self.target.judge(self.ours, self.base)
        verdict = {True: "yes", False: "NO", None: "-"}[met]
        return [self.op, self.size, fmt_time(self.ours), fmt_time(self.base), figure or "-", self.target.text, verdict]


@dataclass
class Report:
    """One section's output: a table, with notes printed under it."""

    title: str
    rows: list[Row] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)

    def missed(self) -> list[Row]:
        return [r for r in self.rows if r.cells()[-1] == "NO"]

    def render(self) -> str:
        head = ["operation", "size", "ours", "baseline", "ratio / rate", "target", "met"]
        body = [r.cells() for r in self.rows]
        widths = [max(len(line[i]) for line in [head, *body]) for i in range(len(head))]
        right = {2, 3, 4}

        def line(cells):
            return "  ".join(c.rjust(w) if i in right else c.ljust(w) for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

        out = [f"== {self.title} " + "=" * max(0, 72 - len(self.title))]
        if body:
            out += [line(head), line(["-" * w for w in widths]), *map(line, body)]
        out += [f"  {n}" for n in self.notes]
        return "\n".join(out)

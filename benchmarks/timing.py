"""Measuring helpers: interleaved medians of Python calls and other samplers.

Every candidate of a group is sampled in turn, with the order rotated each
round, so that noise from the shared machine lands on all of them alike. A
sample times enough back-to-back calls to last at least `min_sample` seconds
and is reduced to seconds per call; each candidate's result is the median of
its samples.

The clock is this thread's CPU time: on a shared machine the time the
scheduler gives to other processes is not counted, while page faults and
memory stalls of the calls themselves are.
"""

from __future__ import annotations

import math
import statistics
import time
import timeit
import tracemalloc
from dataclasses import dataclass
from typing import Any, Callable, Protocol, Sequence

CLOCK = time.thread_time


class Call:
    """One timed statement, e.g. ``Call("f(a, b)", f=np.add, a=x, b=y)``.

    The names are bound as locals of the timing loop, so a call costs what it
    costs in a tight loop of ordinary code.
    """

    def __init__(self, stmt: str, **names: Any) -> None:
        self.stmt = stmt
        self.names = names

    @classmethod
    def of(cls, fn: Callable, *args: Any, **kwargs: Any) -> "Call":
        """The call ``fn(*args, **kwargs)`` with the arguments held fixed."""
        names = {"fn": fn}
        parts = []
        for i, value in enumerate(args):
            names[f"a{i}"] = value
            parts.append(f"a{i}")
        for key, value in kwargs.items():
            names[f"k_{key}"] = value
            parts.append(f"{key}=k_{key}")
        return cls(f"fn({', '.join(parts)})", **names)

    def timer(self) -> timeit.Timer:
        setup = "; ".join(f"{name} = _ns[{name!r}]" for name in self.names) or "pass"
        return timeit.Timer(self.stmt, setup, timer=CLOCK, globals={"_ns": self.names})

    def run(self) -> Any:
        return eval(self.stmt, {}, dict(self.names))


@dataclass
class Plan:
    """How hard to measure: rounds per group, the shortest sample, and a time
    budget per group that cuts the rounds (to no fewer than `min_rounds`) when
    the candidates are slow."""

    rounds: int = 15
    min_sample: float = 0.002
    budget: float = 10.0
    min_rounds: int = 5

    def rounds_within_budget(self, round_seconds: float) -> int:
        fits = int(self.budget / max(round_seconds, 1e-9))
        return max(self.min_rounds, min(self.rounds, fits))


class Sampler(Protocol):
    """One candidate of an interleaved group, ready to be sampled."""

    seconds: float  # expected duration of one sample

    def sample(self) -> float:
        """Seconds per call, from one sample."""
        ...


class TimerSampler:
    """Samples a Call: enough back-to-back calls to last at least `min_sample`."""

    def __init__(self, call: Call, min_sample: float) -> None:
        self.timer = call.timer()
        self.timer.timeit(1)  # warm-up: first-touch faults, lazy setup
        one = max(min(self.timer.timeit(1), self.timer.timeit(1)), 1e-9)
        self.count = max(1, math.ceil(min_sample / one))
        self.seconds = self.count * one

    def sample(self) -> float:
        return self.timer.timeit(self.count) / self.count


def interleaved(candidates: Sequence[Call | Sampler], plan: Plan) -> list[float]:
    """Median seconds per call of each candidate, sampled in rotation."""
    samplers = [TimerSampler(c, plan.min_sample) if isinstance(c, Call) else c for c in candidates]
    samples: list[list[float]] = [[] for _ in samplers]
    k = len(samplers)
    for r in range(plan.rounds_within_budget(sum(s.seconds for s in samplers))):
        for j in range(k):
            i = (j + r) % k
            samples[i].append(samplers[i].sample())
    return [statistics.median(s) for s in samples]


def peak_bytes(call: Call, repeats: int) -> int:
    """tracemalloc's peak, above the traced memory before, over `repeats` calls."""
    timer = call.timer()
    timer.timeit(1)  # warm caches outside the traced window
    was_tracing = tracemalloc.is_tracing()
    if not was_tracing:
        tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        before, _ = tracemalloc.get_traced_memory()
        timer.timeit(repeats)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        if not was_tracing:
            tracemalloc.stop()
    return peak - before

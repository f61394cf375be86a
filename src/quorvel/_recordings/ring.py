"""How many records a telemetry ring needs: the one sizing rule, which each
user caps for its own reason."""

from __future__ import annotations

from quorvel.util import next_pow_two

SMALLEST = 4096  # records: a ring is never smaller


def ring_records(samples: int, decim: int, cap: int, channels: int = 1, keep_every: int = 1) -> int:
    """Records for ``samples`` samples of ``channels`` AGCs: two (gain and
    level) per loop update of each, one update per ``decim`` samples (0 acts
    as 1), of which telemetry keeps one in ``keep_every``; a power of two from
    ``SMALLEST`` to ``cap`` (itself a power of two)."""
    updates = -(-int(samples) // (max(int(decim), 1) * max(int(keep_every), 1)))
    return min(max(next_pow_two(2 * channels * updates), SMALLEST), cap)


def samples_within(cap: int, decim: int, channels: int = 1) -> int:
    """The most samples per channel, a multiple of ``decim``, whose records
    fit a ring of ``cap``: at least one chunk."""
    return max(1, cap // (2 * channels)) * decim

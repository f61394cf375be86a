"""Transient figures of an AGC's output on a burst signal (NumPy only).

Every figure works on the output power |y|^2 in float64 and a list of bursts
(start, stop, kind), kind "const" (constant envelope), "fade" or "noise"
(complex Gaussian). Windows are trailing means wholly inside the burst: the
window that ends at sample i of the burst (0-based from its onset) covers
samples i-W+1 .. i.

  settle          samples from the onset to the end of the first window from
                  which every later window of the burst is within tol dB of
                  ref_db: settled, and stays. W if every window is in band,
                  None if the last one is not. W is 32 for constant-envelope
                  bursts and 256 for noise-like ones, tol 1 dB.
  dip             once a 64-sample window has reached ref_db, how far the
                  lowest later one falls below it, in dB (0: never below).
  steady          mean power over the second half of the burst, dB re ref_db.
  gain_jitter     standard deviation of the applied gain 10 log10(|y|^2/|x|^2)
                  over the second half of the burst, dB.
  gap             mean power over the second half of each gap before a burst,
                  dB re ref_db: how well noise alone is levelled.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

import numpy as np

SETTLE_TOL_DB = 1.0
DIP_WINDOW = 64


def power(y: np.ndarray) -> np.ndarray:
    y = np.asarray(y)
    return y.real.astype(np.float64) ** 2 + y.imag.astype(np.float64) ** 2


def db(p) -> np.ndarray:
    return 10.0 * np.log10(np.maximum(p, 1e-300))


def window_db(p: np.ndarray, width: int) -> np.ndarray:
    """dB of the trailing width-sample means of p; entry i ends at sample width-1+i."""
    # Direct sums: within one burst the output can span hundreds of dB, and
    # differences of a running sum would cancel the quiet windows away.
    return db(np.lib.stride_tricks.sliding_window_view(p, width).sum(axis=1) / width)


def settle(p: np.ndarray, width: int, ref_db: float = 0.0, tol_db: float = SETTLE_TOL_DB) -> Optional[int]:
    means = window_db(p, width)
    outside = np.nonzero(np.abs(means - ref_db) > tol_db)[0]
    if outside.size == 0:
        return width
    if outside[-1] == means.size - 1:
        return None
    return width + int(outside[-1]) + 1


def dip(p: np.ndarray, ref_db: float = 0.0) -> Optional[float]:
    means = window_db(p, DIP_WINDOW)
    reached = np.nonzero(means >= ref_db)[0]
    if reached.size == 0:
        return None
    return max(0.0, ref_db - float(means[reached[0]:].min()))


def second_half(p: np.ndarray) -> np.ndarray:
    return p[len(p) // 2:]


@dataclass
class BurstFigures:
    kind: str
    settle: Optional[int]
    dip: Optional[float]
    steady: float
    gain_jitter: float


@dataclass
class Figures:
    bursts: list[BurstFigures]
    gaps: list[float]

    def settle_range(self) -> str:
        values = [b.settle for b in self.bursts]
        return "never" if None in values else f"{min(values)}-{max(values)}"

    @property
    def settle_max(self) -> Optional[int]:
        values = [b.settle for b in self.bursts]
        return None if None in values else max(values)

    @property
    def dip_max(self) -> float:
        return max(np.inf if b.dip is None else b.dip for b in self.bursts)

    @property
    def steady_max(self) -> float:
        """Largest |steady-state error| over the bursts without a fade."""
        return max(abs(b.steady) for b in self.bursts if b.kind != "fade")

    @property
    def gain_jitter_max(self) -> float:
        return max(b.gain_jitter for b in self.bursts if b.kind != "fade")

    @property
    def gap_max(self) -> float:
        return max(abs(g) for g in self.gaps)


def evaluate(x: np.ndarray, y: np.ndarray, bursts: list[tuple[int, int, str]], ref_db: float = 0.0) -> Figures:
    """The figures of output y for input x over bursts [(start, stop, kind)]."""
    po, pi = power(y), power(x)
    figures, gaps, previous_stop = [], [], 0
    for start, stop, kind in bursts:
        p = po[start:stop]
        out_half, in_half = second_half(p), second_half(pi[start:stop])
        keep = in_half > 0
        figures.append(BurstFigures(
            kind=kind,
            settle=settle(p, 256 if kind == "noise" else 32, ref_db),
            dip=dip(p, ref_db),
            steady=float(db(np.mean(out_half))) - ref_db,
            gain_jitter=float(np.std(db(out_half[keep] / in_half[keep]))),
        ))
        gaps.append(float(db(np.mean(second_half(po[previous_stop:start])))) - ref_db)
        previous_stop = stop
    return Figures(figures, gaps)


# What a configuration for bursts out of noise must reach: on constant-envelope
# bursts settled (32-sample means within 1 dB, and staying) within 150 samples,
# no dip deeper than 3 dB once on target, a steady state within 0.05 dB, noise
# gaps levelled within 0.5 dB; on noise-like bursts settled (256-sample means)
# within 400 samples.
def burst_targets_met(constant: Figures, noise_like: Figures) -> dict[str, bool]:
    return {
        "settle <= 150": constant.settle_max is not None and constant.settle_max <= 150,
        "dip <= 3 dB": constant.dip_max <= 3.0,
        "steady <= 0.05 dB": constant.steady_max <= 0.05,
        "gaps within 0.5 dB": constant.gap_max <= 0.5,
        "noise-like settle <= 400": noise_like.settle_max is not None and noise_like.settle_max <= 400,
    }

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


# -- Bursts after silence: a TDMA signal and the figures of its onsets ----------------------------
#
# The signal (tdma): bursts of BURST_SAMPLES samples at 1 Msample/s, each at a level drawn uniformly
# from LEVELS_DB, separated by guards of GUARD_SAMPLES samples (1-3 ms) that alternate between exact
# silence and complex Gaussian noise at NOISE_DB, the first guard silent. Levels are mean powers in
# dB (0 dB: |x|^2 = 1, full scale); every burst is scaled so that its own mean power is its level
# exactly, so the gain that levels it, ref_db - level, is known. Three kinds of burst:
#   "qpsk"   QPSK symbols at 4 samples per symbol through a root-raised-cosine filter (roll-off
#            0.35, 8 symbols long), switched on and off at full power: the burst is a window of a
#            longer filtered stream, without the filter's rise (the hardest onset for an AGC);
#   "noise"  complex Gaussian noise;
#   "ofdm"   OFDM-like symbols: QPSK on 52 of 64 subcarriers (DC and the band edges empty), a
#            16-sample cyclic prefix, 80 samples per symbol.
#
# The figures judge the gain, not the modulation: a modulated burst's instantaneous power swings
# by tens of dB, so a sample's output power says little about the loop (a levelled OFDM burst has
# samples 10 dB above its mean). The gain error of sample i of a burst is
#     e_i = 10 log10(|y_i|^2 / |x_i|^2) + level - ref_db,
# in dB: the gain the AGC applied to that sample against the gain that puts the burst, at its known
# mean power, on ref_db. An AGC whose gain follows the envelope of the modulation shows it here as
# error, as it should.
#   loud    samples of the burst more than 6 dB too loud: e_i > +6 dB, and the sample comes out
#           more than 6 dB above ref_db (a sample in a trough of the envelope that a gain too high
#           lifts to the target is not loud).
#   settle  samples from the onset to the first sample from which every later e_i of the burst
#           lies within +-1 dB (None when the last one does not).
# The level the next stage sees is judged on the output power, as for the bursts above:
#   peak    the highest output power of a sample of the burst, dB re ref_db.
#   dip     the dip above (64-sample means of the output power) within the burst: once on
#           target, how far the level sags. It smooths the modulation, and so does the loop; the
#           gain itself may land a few dB low for a few samples after a fast attack, which one
#           symbol's power decides.
#   steady  the mean output power over the second half of the burst, dB re ref_db: the level the
#           AGC holds.

BURST_SAMPLES = 4000
GUARD_SAMPLES = (1000, 3000)
LEVELS_DB = (-70.0, 0.0)
NOISE_DB = -85.0
ONSET_TARGETS = {"loud": 8, "settle median": 100, "settle": 130, "dip": 1.0, "steady": 0.05}


def rrc_taps(beta: float = 0.35, sps: int = 4, symbols: int = 8) -> np.ndarray:
    """Root-raised-cosine filter taps, unit energy."""
    t = (np.arange(sps * symbols + 1) - sps * symbols / 2) / sps
    taps = np.empty_like(t)
    for k, u in enumerate(t):
        if u == 0:
            taps[k] = 1 + beta * (4 / np.pi - 1)
        elif abs(abs(4 * beta * u) - 1) < 1e-12:
            taps[k] = beta / np.sqrt(2) * ((1 + 2 / np.pi) * np.sin(np.pi / (4 * beta))
                                            + (1 - 2 / np.pi) * np.cos(np.pi / (4 * beta)))
        else:
            taps[k] = (np.sin(np.pi * u * (1 - beta)) + 4 * beta * u * np.cos(np.pi * u * (1 + beta))) \
                / (np.pi * u * (1 - (4 * beta * u) ** 2))
    return taps / np.sqrt(np.sum(taps ** 2))


def burst_samples(kind: str, rng: np.random.Generator, n: int = BURST_SAMPLES) -> np.ndarray:
    """n samples of a burst of the kind, unit mean power (complex128)."""
    qpsk = lambda count: np.exp(1j * (np.pi / 4 + np.pi / 2 * rng.integers(0, 4, count)))  # noqa: E731
    if kind == "qpsk":
        taps = rrc_taps()
        symbols = np.zeros(n + len(taps), complex)
        symbols[::4] = qpsk(-(-len(symbols) // 4))
        x = np.convolve(symbols, taps)[len(taps):len(taps) + n]
    elif kind == "noise":
        x = rng.normal(size=n) + 1j * rng.normal(size=n)
    elif kind == "ofdm":
        used = np.r_[1:27, 38:64]                  # 52 subcarriers: no DC, empty band edges
        frames = []
        for _ in range(-(-n // 80)):
            bins = np.zeros(64, complex)
            bins[used] = qpsk(len(used))
            body = np.fft.ifft(bins)
            frames.append(np.concatenate([body[-16:], body]))
        x = np.concatenate(frames)[:n]
    else:
        raise ValueError(f"no burst of kind {kind!r}")
    return x / np.sqrt(np.mean(np.abs(x) ** 2))


@dataclass
class Tdma:
    x: np.ndarray                      # complex64
    bursts: list[tuple[int, float]]    # (onset, level in dB)
    silent: list[bool]                 # whether the guard before each burst is exact silence


def tdma(seed: int = 1, kind: str = "qpsk", bursts: int = 60) -> Tdma:
    """The TDMA signal: a guard, then a burst, `bursts` times; reproducible from `seed`."""
    rng = np.random.default_rng(seed)
    parts, onsets, silent, at = [], [], [], 0
    for k in range(bursts):
        guard = int(rng.integers(GUARD_SAMPLES[0], GUARD_SAMPLES[1] + 1))
        quiet = k % 2 == 0
        noise = (rng.normal(size=guard) + 1j * rng.normal(size=guard)) * np.sqrt(10 ** (NOISE_DB / 10) / 2)
        parts.append(np.zeros(guard, complex) if quiet else noise)
        level = float(rng.uniform(*LEVELS_DB))
        parts.append(burst_samples(kind, rng) * 10 ** (level / 20))
        onsets.append((at + guard, level))
        silent.append(quiet)
        at += guard + BURST_SAMPLES
    return Tdma(np.concatenate(parts).astype(np.complex64), onsets, silent)


@dataclass
class Onset:
    level: float
    silent: bool
    loud: int
    peak: float
    settle: Optional[int]
    dip: Optional[float]
    steady: float


def _finite(value: float) -> Optional[float]:
    return value if np.isfinite(value) else None


def gain_error(x: np.ndarray, y: np.ndarray, level: float, ref_db: float = 0.0) -> np.ndarray:
    """e_i of the burst x (input) and y (output), level its mean power in dB;
    NaN where x_i is 0, whose gain nothing shows."""
    px = power(x)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(px > 0, db(power(y) / np.where(px > 0, px, 1.0)), np.nan) + level - ref_db


def onset_figures(signal: Tdma, y: np.ndarray, ref_db: float = 0.0) -> list[Onset]:
    """The figures of every burst of the signal in the output y."""
    found = []
    for (start, level), quiet in zip(signal.bursts, signal.silent):
        stop = start + BURST_SAMPLES
        e = gain_error(signal.x[start:stop], y[start:stop], level, ref_db)
        outside = np.nonzero(np.abs(e) > 1.0)[0]
        settle = 0 if outside.size == 0 else None if outside[-1] == len(e) - 1 else int(outside[-1]) + 1
        p = power(y[start:stop])
        steady = float(db(np.mean(second_half(p)))) - ref_db
        loud = int(np.count_nonzero((e > 6.0) & (db(p) > ref_db + 6.0)))
        found.append(Onset(level, quiet, loud, float(db(p.max())) - ref_db, settle, dip(p, ref_db), steady))
    return found


@dataclass
class OnsetSummary:
    loud_max: int
    loud_silent: tuple[int, int]     # (median, max) after silent guards
    loud_noise: tuple[int, int]      # (median, max) after noise guards
    peak_max: float
    settle_median: Optional[float]   # None when half the bursts or more never settle
    settle_max: Optional[int]        # None when any burst never settles
    never: int                       # bursts that never settle
    dip_max: Optional[float]
    steady_max: float                # the largest |steady| over the bursts

    @staticmethod
    def of(onsets: list[Onset]) -> "OnsetSummary":
        def spread(values: list[int]) -> tuple[int, int]:
            return int(np.median(values)), max(values)
        settles = [o.settle for o in onsets]
        dips = [o.dip for o in onsets]
        return OnsetSummary(
            loud_max=max(o.loud for o in onsets),
            loud_silent=spread([o.loud for o in onsets if o.silent]),
            loud_noise=spread([o.loud for o in onsets if not o.silent]),
            peak_max=max(o.peak for o in onsets),
            settle_median=_finite(float(np.median([np.inf if v is None else v for v in settles]))),
            settle_max=None if None in settles else max(settles),   # type: ignore[type-var]
            never=settles.count(None),
            dip_max=None if None in dips else max(dips),            # type: ignore[type-var]
            steady_max=max(abs(o.steady) for o in onsets))

    def settle_text(self) -> str:
        """median / max, or how many bursts never settle."""
        median = "never" if self.settle_median is None else f"{self.settle_median:g}"
        worst = f"{self.settle_max}" if self.settle_max is not None else f"never ({self.never})"
        return f"{median} / {worst}"

    def targets_met(self) -> dict[str, bool]:
        t = ONSET_TARGETS
        return {
            f"loud <= {t['loud']}": self.loud_max <= t["loud"],
            f"settle median <= {t['settle median']}": self.settle_median is not None
            and self.settle_median <= t["settle median"],
            f"settle <= {t['settle']}": self.settle_max is not None and self.settle_max <= t["settle"],
            f"dip <= {t['dip']} dB": self.dip_max is not None and self.dip_max <= t["dip"],
            f"steady <= {t['steady']} dB": self.steady_max <= t["steady"],
        }

"""The demonstration behind ``python -m quorvel``: bursts of QPSK-like symbols
whose levels step across 60 dB, noise between them and one slow fade, run
through ``AGC.steps`` with telemetry attached."""

from __future__ import annotations

import importlib
import time
from dataclasses import dataclass
from typing import Any, Callable, Optional

import numpy as np
import numpy.typing as npt

from quorvel.agc import AGC, settling_samples
from quorvel.telemetry import Telemetry

__all__ = ["run", "synthesize", "settled_after", "fade_db", "Burst"]

LEVELS_DB = (-20.0, -50.0, -10.0, -60.0, -30.0, 0.0, -40.0)  # burst powers, dB (0 dB = unit power)
BURST, GAP = 24_000, 6_000                                  # samples
NOISE_DB = -75.0
FADE_BURST, FADE_DB = 4, 6.0                                # the burst (from 0) with a slow fade, its depth
SAMPLES_PER_SYMBOL = 4
REF_DB, LOOP_BW, ALPHA, DECIM = 0.0, 0.0015, 0.05, 8        # 4 * DECIM * LOOP_BW <= 0.05
TOL_DB = 1.0


@dataclass
class Burst:
    start: int
    level_db: float


_Floats = npt.NDArray[np.float64]
_Samples = npt.NDArray[np.complex64]


def db(power: npt.ArrayLike) -> _Floats:
    level: _Floats = 10.0 * np.log10(np.maximum(power, 1e-30))  # named: NumPy 2.2's stubs make it Any
    return level


def fade_db(k: int) -> _Floats:
    """How far burst k's level falls below its nominal level, per sample, in dB:
    a slow fade across the whole of burst FADE_BURST, nothing elsewhere."""
    if k != FADE_BURST:
        return np.zeros(BURST)
    fade: _Floats = FADE_DB * np.sin(np.linspace(0, np.pi, BURST))
    return fade


def synthesize(seed: int = 1, noise_like: bool = False) -> tuple[_Samples, list[Burst]]:
    """complex64 baseband: [gap, burst] * len(LEVELS_DB), and the burst list.

    The bursts carry QPSK-like symbols (constant envelope); ``noise_like``
    draws complex Gaussian samples of the same power instead.
    """
    rng = np.random.default_rng(seed)
    n = len(LEVELS_DB) * (GAP + BURST)
    noise = (rng.normal(size=n) + 1j * rng.normal(size=n)) * np.sqrt(10 ** (NOISE_DB / 10) / 2)
    signal = noise.astype(np.complex128)
    bursts = []
    for k, level in enumerate(LEVELS_DB):
        start = k * (GAP + BURST) + GAP
        if noise_like:
            burst = (rng.normal(size=BURST) + 1j * rng.normal(size=BURST)) * np.sqrt(0.5)
        else:
            symbols = np.exp(1j * (np.pi / 4 + np.pi / 2 * rng.integers(0, 4, BURST // SAMPLES_PER_SYMBOL)))
            burst = np.repeat(symbols, SAMPLES_PER_SYMBOL)
        burst = burst * 10 ** ((level - fade_db(k)) / 20)
        signal[start:start + BURST] += burst
        bursts.append(Burst(start, level))
    return signal.astype(np.complex64), bursts


def settled_after(gain_db: _Floats, tol_db: float) -> int:
    """Updates until a burst's gain comes within tol_db of the value it ends
    on and stays there to the end: a gain that swings through that band and
    out again has not settled yet (as ``settling_samples`` counts)."""
    outside = np.nonzero(np.abs(gain_db - gain_db[-1]) > tol_db)[0]
    return int(outside[-1]) + 2 if outside.size else 1


def run(plot_path: Optional[str] = None, out: Callable[..., None] = print) -> None:
    """Print the demonstration's table; with ``plot_path`` also draw it into that PNG.

    Raises ImportError before anything runs when drawing is asked for and
    matplotlib is missing.
    """
    if plot_path is not None:
        _pyplot()
    x, bursts = synthesize()
    y = np.empty_like(x)
    with Telemetry(1 << 17) as tlm:
        agc = AGC(REF_DB, LOOP_BW, ALPHA)
        agc.decim = DECIM
        tlm.attach(agc, prefix="agc")
        agc.steps(x, out=y)
        probes = tlm.demux(tlm.read())
        dropped = tlm.dropped
    gain, level = probes["agc.gain_db"].astype(np.float64), probes["agc.level_db"].astype(np.float64)

    out(f"quorvel AGC demo: {len(x):,} complex64 samples, {len(bursts)} bursts of {BURST:,} samples, "
        f"noise {NOISE_DB:.0f} dB between them")
    out(f"AGC(ref_db={REF_DB}, loop_bw={LOOP_BW}, alpha={ALPHA}), decim {DECIM}; "
        f"{len(gain):,} telemetry updates per probe, {dropped} dropped\n")
    out(f"{'burst':>5} {'input dB':>9} {'output dB':>10} {'gain step dB':>13} "
        f"{'settled after':>14} {'predicted':>10}")
    for k, b in enumerate(bursts):
        first, last = b.start // DECIM, (b.start + BURST) // DECIM
        before = gain[first - 1]
        needed = gain[last - 1]
        # The gain of each update, less the part that follows a fade.
        measured = settled_after(gain[first:last] - fade_db(k)[DECIM - 1::DECIM], TOL_DB)
        predicted = settling_samples(LOOP_BW, ALPHA, needed - before, TOL_DB)
        tail = slice(b.start + BURST // 2, b.start + BURST)
        out_db = db(np.mean(np.abs(y[tail].astype(np.complex128)) ** 2))
        in_db = db(np.mean(np.abs(x[b.start:b.start + BURST].astype(np.complex128)) ** 2))
        fade = "  (slow fade)" if k == FADE_BURST else ""
        out(f"{k + 1:>5} {in_db:>9.1f} {out_db:>10.2f} {needed - before:>+13.1f} "
            f"{measured * DECIM:>10,} smp {predicted:>6,} smp{fade}")

    agc = AGC(REF_DB, LOOP_BW, ALPHA)
    runs = []
    for _ in range(5):
        start = time.perf_counter()
        agc.steps(x, out=y)
        runs.append(time.perf_counter() - start)
    out(f"\nthroughput: {len(x) / np.median(runs) / 1e6:,.0f} Msample/s "
        f"(AGC.steps with out=, median of {len(runs)} runs)")
    out(f"'gain step' is how far the gain must move for the burst; 'settled after' counts until it stays")
    out(f"within {TOL_DB:g} dB of where it ends (of the fade it follows, in burst {FADE_BURST + 1}). 'predicted' "
        "runs")
    out(f"the per-sample loop (settling_samples); the block path above updates once per {DECIM} samples.")
    if plot_path is None:
        out("\nFor a picture of the envelopes and probes: quorvel --plot FILE.png "
            "(needs matplotlib: pip install 'quorvel[plot]').")
    else:
        _plot(x, y, gain, level, plot_path)
        out(f"\nplot written to {plot_path}")


def _pyplot() -> Any:
    try:
        matplotlib = importlib.import_module("matplotlib")
    except ImportError:
        raise ImportError("drawing needs matplotlib: pip install 'quorvel[plot]'") from None
    matplotlib.use("Agg")
    return importlib.import_module("matplotlib.pyplot")


def _plot(x: _Samples, y: _Samples, gain: _Floats, level: _Floats, path: str) -> None:
    plt = _pyplot()
    window = 256
    kernel = np.ones(window) / window

    def envelope(v: _Samples) -> _Floats:
        return db(np.convolve(np.abs(v.astype(np.complex128)) ** 2, kernel, mode="same"))[::window // 4]

    t_env = np.arange(len(x))[::window // 4]
    t_probe = (np.arange(len(gain)) + 1) * DECIM
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(11, 6.5), sharex=True)
    top.plot(t_env, envelope(x), lw=0.8, label="input")
    top.plot(t_env, envelope(y), lw=0.8, label="output")
    top.set_ylabel("power, dB")
    top.legend(loc="lower right")
    top.set_title("quorvel AGC: bursts across 60 dB")
    bottom.plot(t_probe, gain, lw=0.8, label="agc.gain_db")
    bottom.plot(t_probe, level, lw=0.8, label="agc.level_db")
    bottom.set_ylabel("dB")
    bottom.set_xlabel("sample")
    bottom.legend(loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)

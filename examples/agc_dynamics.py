"""How the AGC's parameters shape its transients, measured on the signal of
``python -m quorvel``: bursts at -20, -50, -10, -60, -30, 0 and -40 dB out of
-75 dB noise, with constant-envelope symbols and again with noise-like
(complex Gaussian) bursts of the same power; and on TDMA bursts after
silence (agc_metrics.tdma: RRC-QPSK, Gaussian noise or OFDM-like bursts at
-70 to 0 dB after guards of silence or -85 dB noise).

    python examples/agc_dynamics.py                 # side by side, GNU Radio's agc3_cc included
    python examples/agc_dynamics.py --guide         # settling, dip and jitter against the parameters
    python examples/agc_dynamics.py --plot agc.png  # the onsets, drawn (needs matplotlib)
    python examples/agc_dynamics.py --onsets        # bursts after silence: the burst preset, agc3_cc
    python examples/agc_dynamics.py --onsets --plot onset.png   # an onset after silence, drawn

The figures are defined in agc_metrics.py. agc3_cc runs under an interpreter
that has GNU Radio (``--gnuradio-python``, /usr/bin/python3 by default, as
Debian's gnuradio package installs it); without one its rows are left out.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Callable, Optional

import numpy as np

import agc_metrics as m
from quorvel import demo
from quorvel.agc import AGC, PRESETS, settling_samples

HERE = Path(__file__).resolve().parent
Signal = tuple[np.ndarray, list[tuple[int, int, str]]]
Run = Callable[[np.ndarray], np.ndarray]


def signal(noise_like: bool) -> Signal:
    """The demonstration's signal (or its noise-like twin) and its bursts."""
    x, bursts = demo.synthesize(seed=2 if noise_like else 1, noise_like=noise_like)
    kinds = ["noise" if noise_like else "fade" if k == demo.FADE_BURST else "const" for k in range(len(bursts))]
    return x, [(b.start, b.start + demo.BURST, kind) for b, kind in zip(bursts, kinds)]


def quorvel_agc(loop_bw: float, alpha: float, decim: int, acquire: bool, per_sample: bool = False) -> Run:
    def run(x: np.ndarray) -> np.ndarray:
        agc = AGC(loop_bw=loop_bw, alpha=alpha)
        agc.decim, agc.acquire = decim, acquire
        if per_sample:
            return np.array([agc.step(v) for v in x.tolist()], np.complex64)
        return agc.steps(x)
    return run


def preset_agc(**overrides: object) -> Run:
    def run(x: np.ndarray) -> np.ndarray:
        return AGC.from_preset("burst", **overrides).steps(x)
    return run


def agc3_cc(python: str, attack: float, decay: float) -> Run:
    def run(x: np.ndarray) -> np.ndarray:
        with tempfile.TemporaryDirectory() as tmp:
            source, target = Path(tmp) / "in.cf32", Path(tmp) / "out.cf32"
            x.tofile(source)
            subprocess.run([python, str(HERE / "agc3_peer.py"), str(source), str(target), str(attack), str(decay)],
                           check=True)
            return np.fromfile(target, np.complex64)
    return run


def gnuradio_available(python: str) -> bool:
    try:
        return subprocess.run([python, "-c", "from gnuradio import analog"], capture_output=True).returncode == 0
    except OSError:
        return False


def measure(run: Run) -> tuple[m.Figures, m.Figures]:
    """Figures on the constant-envelope signal and on the noise-like one."""
    return tuple(m.evaluate(x, run(x), bursts) for x, bursts in (signal(False), signal(True)))  # type: ignore


def fmt(value: Optional[float], digits: int = 2) -> str:
    return "never" if value is None or not np.isfinite(value) else f"{value:.{digits}f}"


def side_by_side(python: str) -> None:
    rows: list[tuple[str, Run]] = [
        ("quorvel `AGC()` defaults (0.0025 / 0.05 / 8)", quorvel_agc(0.0025, 0.05, 8, False)),
        (f"quorvel demo ({demo.LOOP_BW} / {demo.ALPHA} / {demo.DECIM})",
         quorvel_agc(demo.LOOP_BW, demo.ALPHA, demo.DECIM, False)),
        ("quorvel burst preset, `acquire` off", preset_agc(acquire=False)),
        ("quorvel `PRESETS['burst']`", preset_agc()),
    ]
    if gnuradio_available(python):
        rows += [(f"GNU Radio `agc3_cc` attack {a} decay {d}", agc3_cc(python, a, d))
                 for a, d in ((0.1, 0.01), (0.05, 0.005), (0.2, 0.02))]
    else:
        print(f"(agc3_cc left out: {python} cannot import gnuradio; Debian: apt-get install gnuradio)\n")
    levels = " / ".join(f"{lv:g}" for lv in demo.LEVELS_DB)
    print(f"| AGC | settle per burst ({levels} dB) | dip dB | worst steady error dB | gain jitter dB | gaps dB "
          "| noise-like: settle | noise-like: worst steady error dB |")
    print("|---|---|---|---|---|---|---|---|")
    for name, run in rows:
        c, n = measure(run)
        steady = max((b.steady for b in c.bursts if b.kind != "fade"), key=abs)
        gap = max(c.gaps, key=abs)
        steady_n = max((b.steady for b in n.bursts), key=abs)
        settle = " ".join(fmt(b.settle, 0) for b in c.bursts)
        print(f"| {name} | {settle} | {fmt(c.dip_max, 1)} | {steady:+.3f} | {c.gain_jitter_max:.3f} "
              f"| {gap:+.2f} | {n.settle_range()} | {steady_n:+.3f} |")
    c, n = measure(preset_agc())
    print("\nPRESETS['burst'] targets: " + ", ".join(f"{k} {'met' if ok else 'MISSED'}"
                                                    for k, ok in m.burst_targets_met(c, n).items()))
    print("settle: samples from the onset until the 32-sample (noise-like: 256-sample) mean power stays within "
          "1 dB; dip: worst fall below target once reached (64-sample means); burst 5 fades by 6 dB.")


GUIDE = [(0.0015, 0.05, 8), (0.0025, 0.05, 8), (0.0025, 0.1, 8), (0.005, 0.05, 8), (0.01, 0.05, 1),
         (0.01, 0.05, 8), (0.02, 0.05, 8), (0.02, 0.1, 8), (0.02, 0.05, 16)]


def guide() -> None:
    print("| loop_bw | alpha | decim | 4·decim·loop_bw | settle | dip dB | gain jitter dB | block vs per-sample settle "
          "| settling_samples −60 / +60 dB |")
    print("|---|---|---|---|---|---|---|---|---|")
    x, bursts = signal(False)
    for loop_bw, alpha, decim in GUIDE:
        cells: dict[str, list[str]] = {"settle": [], "dip": [], "jitter": [], "ratio": [], "query": []}
        for acquire in (False, True):
            block = m.evaluate(x, quorvel_agc(loop_bw, alpha, decim, acquire)(x), bursts)
            single = m.evaluate(x, quorvel_agc(loop_bw, alpha, decim, acquire, per_sample=True)(x), bursts)
            cells["settle"].append(block.settle_range())
            cells["dip"].append(fmt(block.dip_max, 1))
            cells["jitter"].append(f"{block.gain_jitter_max:.3f}")
            ratios = [b.settle / s.settle - 1 for b, s in zip(block.bursts, single.bursts) if b.settle and s.settle]
            cells["ratio"].append(f"{100 * max(ratios, key=abs):+.0f} %" if ratios else "never")
            cells["query"].append(" / ".join(str(settling_samples(loop_bw, alpha, e, 1.0, acquire=acquire))
                                             for e in (-60.0, 60.0)))
        row = " | ".join(" → ".join(v) for v in cells.values())
        print(f"| {loop_bw} | {alpha} | {decim} | {4 * decim * loop_bw:.3f} | {row} |")
    print("\nEach cell: acquire off → on. settle: samples until the 32-sample mean power stays within 1 dB "
          "(range over the seven bursts); dip: worst fall below target once reached (64-sample means); "
          "block vs per-sample: the worst burst's settling on steps() against step().")


def plot(path: str, python: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x, bursts = signal(False)
    runs = [("AGC() defaults", quorvel_agc(0.0025, 0.05, 8, False)),
            ("PRESETS['burst']", preset_agc())]
    if gnuradio_available(python):
        runs.append(("agc3_cc, attack 0.1, decay 0.01", agc3_cc(python, 0.1, 0.01)))
    outputs = [(name, run(x)) for name, run in runs]
    width = 32
    fig, axes = plt.subplots(1, 3, figsize=(12, 4), sharey=True)
    for ax, k in zip(axes, (0, 3, 5)):
        start = bursts[k][0]
        span = slice(start - 200, start + 1300)
        t = np.arange(-200 + width - 1, 1300)
        for name, y in outputs:
            ax.plot(t, m.window_db(m.power(y[span]), width), lw=1.0, label=name)
        ax.axhline(0.0, color="grey", lw=0.5)
        ax.set_title(f"onset of a {demo.LEVELS_DB[k]:g} dB burst")
        ax.set_xlabel("samples from the onset")
        ax.set_ylim(-60, 80)
    axes[0].set_ylabel(f"output power, {width}-sample mean, dB")
    axes[-1].legend(loc="upper right", fontsize=8)
    fig.suptitle("Bursts out of -75 dB noise: the dip of the defaults, and the acquisition mode without it")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"plot written to {path}")


# The burst preset as it was before the ceiling and the fast attack: the acquisition mode alone.
ACQUIRE_ONLY = dict(loop_bw=0.02, alpha=0.05, decim=8, acquire=True)
AGC3_FAST, AGC3_DEFAULTS = (1.0, 0.03), (0.1, 0.01)   # agc3_cc (attack, decay): tuned for speed; GNU Radio's


def onset_rows(python: str) -> list[tuple[str, Run]]:
    """The AGCs of the onset study: quorvel's, then agc3_cc where an interpreter has GNU Radio."""
    p = PRESETS["burst"]
    rows: list[tuple[str, Run]] = [
        ("`AGC()` defaults", quorvel_agc(0.0025, 0.05, 8, False)),
        ("acquisition mode alone (0.02 / 0.05 / 8)", quorvel_agc(**ACQUIRE_ONLY)),
        ("`PRESETS['burst']`", preset_agc()),
        (f"`PRESETS['burst']` without the fast attack ({p['decim']} / {p['loop_bw']} / {p['alpha']})",
         preset_agc(attack_db=np.inf)),
        ("`PRESETS['burst']` with `gate_db` -80", preset_agc(gate_db=-80.0)),
    ]
    if gnuradio_available(python):
        rows += [(f"GNU Radio `agc3_cc` attack {a} decay {d}", agc3_cc(python, a, d)) for a, d in (AGC3_FAST,
                                                                                                   AGC3_DEFAULTS)]
    else:
        print(f"(agc3_cc left out: {python} cannot import gnuradio; Debian: apt-get install gnuradio)\n")
    return rows


def onset_summary(run: Run, kind: str = "qpsk", seed: int = 1) -> m.OnsetSummary:
    signal = m.tdma(seed, kind)
    return m.OnsetSummary.of(m.onset_figures(signal, run(signal.x)))


def onsets(python: str) -> None:
    print(f"TDMA bursts of {m.BURST_SAMPLES} samples at {m.LEVELS_DB[0]:g} to {m.LEVELS_DB[1]:g} dB after guards of "
          f"{m.GUARD_SAMPLES[0]}-{m.GUARD_SAMPLES[1]} samples, silent and {m.NOISE_DB:g} dB noise in turn (60 bursts, "
          "seed 1); the figures are defined in agc_metrics.py.\n")
    rows = onset_rows(python)
    for kind, title in (("qpsk", "RRC-QPSK"), ("noise", "Gaussian noise"), ("ofdm", "OFDM-like")):
        print(f"{title} bursts:\n")
        print("| AGC | loud: most (median after silence / noise) | peak dB | settle: median / max | dip dB "
              "| steady dB |")
        print("|---|---|---|---|---|---|")
        for name, run in rows:
            o = onset_summary(run, kind)
            print(f"| {name} | {o.loud_max} ({o.loud_silent[0]} / {o.loud_noise[0]}) | {o.peak_max:+.0f} "
                  f"| {o.settle_text()} | {fmt(o.dip_max, 2)} | {o.steady_max:.3f} |")
        print()
    met = onset_summary(preset_agc()).targets_met()
    print("PRESETS['burst'] targets on RRC-QPSK: " + ", ".join(f"{k} {'met' if ok else 'MISSED'}"
                                                               for k, ok in met.items()))


def plot_onset(path: str, python: str) -> None:
    """An onset after silence: the gain error of the burst preset with and without the burst settings."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    signal = m.tdma(1, "qpsk")
    k = next(k for k, (quiet, (_, level)) in enumerate(zip(signal.silent, signal.bursts)) if quiet and k and
             -50 < level < -30)
    start, level = signal.bursts[k]
    runs = [("acquisition mode alone (0.02 / 0.05 / 8)", quorvel_agc(**ACQUIRE_ONLY)),
            ("PRESETS['burst']: ceiling, fast attack, decim 4", preset_agc())]
    if gnuradio_available(python):
        runs.append((f"agc3_cc, attack {AGC3_FAST[0]}, decay {AGC3_FAST[1]}", agc3_cc(python, *AGC3_FAST)))
    span = slice(start - 40, start + 400)
    t = np.arange(-40, 400)
    fig, axes = plt.subplots(1, 2, figsize=(12, 4))
    for name, run in runs:
        e = m.gain_error(signal.x[span], run(signal.x)[span], level)
        e[:40] = np.nan   # silence: no gain to judge
        for ax in axes:
            ax.plot(t, e, lw=1.0, label=name)
    for ax, (low, high), title in zip(axes, ((-10, 130), (-4, 4)), ("the onset", "the same, near the target")):
        ax.axhline(0.0, color="grey", lw=0.5)
        ax.axhspan(-1, 1, color="grey", alpha=0.1)
        ax.set_ylim(low, high)
        ax.set_title(title)
        ax.set_xlabel("samples from the onset")
    axes[0].set_ylabel("gain error, dB (applied gain against the burst's)")
    axes[0].legend(loc="upper right", fontsize=8)
    fig.suptitle(f"An RRC-QPSK burst at {level:.0f} dB after {start - signal.bursts[k - 1][0] - m.BURST_SAMPLES} "
                 "samples of silence")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"plot written to {path}")


def main(argv: Optional[list[str]] = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--guide", action="store_true", help="the parameter guide instead of the side-by-side table")
    parser.add_argument("--plot", metavar="FILE", help="draw the onsets into FILE (PNG)")
    parser.add_argument("--onsets", action="store_true",
                        help="bursts after silence: the table, or with --plot an onset drawn")
    parser.add_argument("--gnuradio-python", default="/usr/bin/python3", metavar="PYTHON",
                        help="an interpreter that has GNU Radio (default: %(default)s)")
    args = parser.parse_args(argv)
    if args.onsets and args.plot:
        plot_onset(args.plot, args.gnuradio_python)
    elif args.onsets:
        onsets(args.gnuradio_python)
    elif args.plot:
        plot(args.plot, args.gnuradio_python)
    elif args.guide:
        guide()
    else:
        side_by_side(args.gnuradio_python)


if __name__ == "__main__":
    sys.exit(main())

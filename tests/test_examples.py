"""examples/: the transient figures, the burst preset against its targets on
the demonstration's signal and on TDMA bursts after silence, and the
scripts themselves (agc3_cc where an interpreter has GNU Radio)."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
sys.path.insert(0, str(EXAMPLES))

import agc_dynamics  # noqa: E402
import agc_metrics as m  # noqa: E402

SYSTEM_PYTHON = "/usr/bin/python3"


def test_settle_counts_until_the_windows_stay_in_band():
    p = np.ones(200)
    assert m.settle(p, 32) == 32                     # in band from the first window
    p[:50] = 100.0                                   # +20 dB for 50 samples
    assert m.settle(p, 32) == 50 + 32                # the first window wholly after them
    p[120] = 100.0                                   # out again later: counts from there
    assert m.settle(p, 32) == 121 + 32
    p[-1] = 1e6
    assert m.settle(p, 32) is None                   # out of band at the end


def test_dip_is_measured_once_the_target_is_reached():
    p = np.concatenate([np.full(100, 0.01), np.full(100, 1.0), np.full(100, 0.1), np.full(100, 1.0)])
    assert m.dip(p) == pytest.approx(10.0)           # the quiet start is not a dip
    assert m.dip(np.full(100, 0.5)) is None          # never reached


def test_the_burst_preset_meets_its_targets_and_needs_its_mode():
    on = agc_dynamics.measure(agc_dynamics.preset_agc())
    assert all(m.burst_targets_met(*on).values()), m.burst_targets_met(*on)
    constant, noise_like = on
    assert constant.settle_max <= 100 and noise_like.settle_max <= 300
    off = agc_dynamics.measure(agc_dynamics.preset_agc(acquire=False, attack_db=np.inf))
    assert off[0].dip_max > 100                       # without the mode and the fast attack the same loop dives


def test_the_burst_preset_meets_its_onset_targets_after_silence_and_noise():
    signal = m.tdma(1, "qpsk")
    assert len(signal.bursts) == 60 and signal.silent[:3] == [True, False, True]
    assert all(-70 <= level <= 0 for _, level in signal.bursts)
    onsets = m.onset_figures(signal, agc_dynamics.preset_agc()(signal.x))
    summary = m.OnsetSummary.of(onsets)
    assert all(summary.targets_met().values()), summary
    # The burst settings do it: the acquisition mode alone lets every onset out too loud, for long.
    before = m.OnsetSummary.of(m.onset_figures(signal, agc_dynamics.quorvel_agc(**agc_dynamics.ACQUIRE_ONLY)(
        signal.x)))
    assert before.loud_silent[0] > 40 and before.peak_max > 100


def test_the_onset_figures_follow_their_definitions():
    rng = np.random.default_rng(3)
    x = m.burst_samples("qpsk", rng, 400) * 10 ** (-30 / 20)
    assert abs(10 * np.log10(np.mean(np.abs(x) ** 2)) + 30) < 1e-9           # the burst's level, exactly
    gain_db = np.r_[np.full(10, 40.0), np.linspace(30.0, 29.5, 90), np.full(300, 30.0)]  # 30 dB levels it
    y = x * 10 ** (gain_db / 20)
    assert np.allclose(m.gain_error(x, y, -30.0), gain_db - 30.0)
    # A constant envelope: the first ten samples are 10 dB too loud, in gain and in fact.
    x = np.exp(2j * np.pi * rng.random(400)) * 10 ** (-30 / 20)
    y = x * 10 ** (np.r_[gain_db[:10], gain_db[10:] - 16 * (np.arange(390) % 50 == 0)] / 20)
    signal = m.Tdma(np.concatenate([np.zeros(100), x]).astype(np.complex64), [(100, -30.0)], [True])
    (onset,) = m.onset_figures(signal, np.concatenate([np.zeros(100), y]).astype(np.complex64))
    assert onset.loud == 10 and abs(onset.peak - 10.0) < 1e-4 and onset.silent
    assert onset.settle == 361                 # a 16 dB drop every 50 samples from sample 10, the last at 360


def test_side_by_side_runs_without_gnuradio(capsys):
    agc_dynamics.main(["--gnuradio-python", str(EXAMPLES / "no-such-python")])
    out = capsys.readouterr().out
    assert "agc3_cc left out" in out and out.count("| quorvel") == 4
    assert "MISSED" not in out and "settle <= 150 met" in out
    agc_dynamics.main(["--onsets", "--gnuradio-python", str(EXAMPLES / "no-such-python")])
    out = capsys.readouterr().out
    assert out.count("| `PRESETS['burst']` |") == 3 and "MISSED" not in out and "loud <= 8 met" in out


def gnuradio_python():
    if not agc_dynamics.gnuradio_available(SYSTEM_PYTHON):
        pytest.skip(f"{SYSTEM_PYTHON} cannot import gnuradio (Debian: apt-get install gnuradio)")
    return SYSTEM_PYTHON


def test_agc3_cc_runs_on_the_same_samples():
    python = gnuradio_python()
    x = np.concatenate([np.full(500, 1e-3, np.complex64), np.full(3000, 10.0 + 0j, np.complex64)])
    y = agc_dynamics.agc3_cc(python, 0.1, 0.01)(x)
    assert y.dtype == np.complex64 and len(y) == len(x)
    assert abs(float(np.mean(np.abs(y[-500:]) ** 2)) - 1.0) < 0.05   # levelled to unit power


@pytest.mark.parametrize("study", [[], ["--onsets"]])
def test_plot_draws_the_onsets(tmp_path, study):
    pytest.importorskip("matplotlib")
    path = tmp_path / "onsets.png"
    result = subprocess.run([sys.executable, str(EXAMPLES / "agc_dynamics.py"), *study, "--plot", str(path)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

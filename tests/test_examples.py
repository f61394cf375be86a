"""examples/: the transient figures, the burst preset against its targets on
the demonstration's signal, and the scripts themselves (agc3_cc where an
interpreter has GNU Radio)."""

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
    preset = agc_dynamics.PRESETS["burst"]
    on = agc_dynamics.measure(agc_dynamics.quorvel_agc(preset["loop_bw"], preset["alpha"], preset["decim"], True))
    assert all(m.burst_targets_met(*on).values()), m.burst_targets_met(*on)
    constant, noise_like = on
    assert constant.settle_max <= 100 and noise_like.settle_max <= 300
    off = agc_dynamics.measure(agc_dynamics.quorvel_agc(preset["loop_bw"], preset["alpha"], preset["decim"], False))
    assert off[0].dip_max > 100                       # without the mode the same loop dives


def test_side_by_side_runs_without_gnuradio(capsys):
    agc_dynamics.main(["--gnuradio-python", str(EXAMPLES / "no-such-python")])
    out = capsys.readouterr().out
    assert "agc3_cc left out" in out and out.count("| quorvel") == 4
    assert "MISSED" not in out and "settle <= 150 met" in out


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


def test_plot_draws_the_onsets(tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "onsets.png"
    result = subprocess.run([sys.executable, str(EXAMPLES / "agc_dynamics.py"), "--plot", str(path)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

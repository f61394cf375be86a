"""The quorvel command: the demonstration and ``quorvel agc``."""

import os
import re
import subprocess
import sys

import numpy as np
import pytest

from quorvel import cli
from quorvel.agc import AGC

from helpers import recording


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "quorvel", *args], capture_output=True, text=True, cwd=cwd,
                          env=dict(os.environ, MPLBACKEND="Agg"))


def test_demo_runs_and_reports(tmp_path):
    result = run(cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    table = [line for line in lines if line.strip()[:1].isdigit()]
    assert len(table) == 7 and "Msample/s" in result.stdout
    assert "quorvel --plot FILE.png" in result.stdout
    assert os.listdir(tmp_path) == []                        # draws only when asked


def test_demo_draws_when_asked(tmp_path):
    pytest.importorskip("matplotlib")
    result = run("--plot", "demo.png", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert "plot written to demo.png" in result.stdout
    assert (tmp_path / "demo.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_drawing_without_matplotlib_is_refused_at_once(tmp_path):
    (tmp_path / "matplotlib.py").write_text("raise ImportError('No module named matplotlib')\n")
    result = subprocess.run([sys.executable, "-m", "quorvel", "--plot", "demo.png"], capture_output=True, text=True,
                            cwd=tmp_path, env=dict(os.environ, PYTHONPATH=str(tmp_path)))
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr == "quorvel: error: drawing needs matplotlib: pip install 'quorvel[plot]'\n"
    result = run("--plot", "demo.png", "agc", "in.cf32", "out.cf32", cwd=tmp_path)
    assert result.returncode == 2 and "--plot draws the demonstration" in result.stderr


@pytest.mark.parametrize("decim, block", [(8, 1000), (3, 7), (1, 4096), (64, 64)])
def test_agc_file_equals_one_whole_call(tmp_path, decim, block):
    src, dst, npz = tmp_path / "in.cf32", tmp_path / "out.cf32", tmp_path / "probes.npz"
    x = recording(src, 10_007)
    assert cli.main(["agc", str(src), str(dst), "--decim", str(decim), "--block", str(block),
                     "--loop-bw", "0.001", "--ref-db", "-3", "--telemetry", str(npz)]) == 0
    agc = AGC(-3.0, 0.001, 0.05)
    agc.decim = decim
    expected = agc.steps(x)
    assert np.fromfile(dst, "<c8").tobytes() == expected.tobytes()
    probes = np.load(npz)
    assert len(probes["gain_db"]) == len(probes["level_db"]) == -(-len(x) // decim)
    assert probes["gain_db"][-1] == np.float32(agc.gain_db)
    assert src.read_bytes() == x.tobytes()


def test_empty_recording(tmp_path):
    src, dst = tmp_path / "in.cf32", tmp_path / "out.cf32"
    src.write_bytes(b"")
    assert cli.main(["agc", str(src), str(dst)]) == 0 and dst.read_bytes() == b""


@pytest.mark.parametrize("args, status, message", [
    (["agc", "{missing}", "{out}"], 2, "no such file"),
    (["agc", "{src}", "{src}"], 2, "OUTPUT must not be INPUT"),
    (["agc", "{odd}", "{out}"], 2, "not a whole number"),
    (["agc", "{src}", "{out}", "--loop-bw", "fast"], 2, "--loop-bw: expected a finite number, got 'fast'"),
    (["agc", "{src}", "{out}", "--decim", "0"], 2, "--decim: expected a whole number from 1 to 2**64 - 1, got '0'"),
    (["agc", "{src}", "{out}", "--decim", str(2**64)], 2, "--decim: expected a whole number"),
    (["agc", "{src}", "{out}", "--ref-db", "nan"], 2, "--ref-db: expected a finite number, got 'nan'"),
    (["agc", "{src}", "{out}", "--alpha", "1e999"], 2, "--alpha: expected a finite number, got '1e999'"),
    (["agc", "{src}"], 2, "required"),
    (["frobnicate"], 2, "invalid choice"),
    (["agc", "{src}", "{nodir}"], 1, "No such file or directory"),
    (["agc", "{src}", "{out}", "--skip-done"], 2, "--skip-done runs many files: it needs -o OUTDIR"),
])
def test_user_errors_are_one_line(tmp_path, args, status, message):
    src, odd = tmp_path / "in.cf32", tmp_path / "odd.cf32"
    recording(src, 100)
    odd.write_bytes(b"x" * 12)
    names = dict(src=src, odd=odd, missing=tmp_path / "nope.cf32", out=tmp_path / "out.cf32",
                 nodir=tmp_path / "no" / "dir" / "out.cf32")
    result = run(*[a.format(**names) for a in args])
    assert result.returncode == status
    assert len(result.stderr.strip().splitlines()) == 1 and message in result.stderr
    assert "Traceback" not in result.stderr and not re.search(r"\s_\w", result.stderr)  # no private helper named
    assert not (tmp_path / "out.cf32").exists()


def test_interrupted_run_leaves_nothing_behind(tmp_path, monkeypatch):
    src, dst = tmp_path / "in.cf32", tmp_path / "out.cf32"
    recording(src, 50_000)
    dst.write_bytes(b"previous result")

    class Interrupted:
        decim = 8

        def __init__(self, *args):
            self.calls = 0

        def steps(self, x, out=None, layout="rows"):
            self.calls += 1
            if self.calls == 3:
                raise KeyboardInterrupt
            return x

    monkeypatch.setattr("quorvel.agc.AGCBank", Interrupted)
    assert cli.main(["agc", str(src), str(dst), "--block", "1000"]) == 130
    assert dst.read_bytes() == b"previous result"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.cf32", "out.cf32"]


@pytest.mark.source_tree
def test_the_reference_page_holds_every_option_default_and_exit_status():
    import argparse
    import pathlib
    import runpy

    path = pathlib.Path(__file__).resolve().parents[1] / "docs" / "command_page.py"
    text = runpy.run_path(os.fspath(path), run_name="command_page")["page"]()
    parser = cli._parser()
    agc = next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction)).choices["agc"]
    for each in (parser, agc):
        for action in each._actions:
            for flag in action.option_strings:
                assert f"{flag}" in text, flag
    assert "--out-scale FLOAT" not in text and "(default: 1.0)" in text and "(default: 1048576)" in text
    assert "--alpha ALPHA" in text and "(default: 0.05)" in text              # the AGC's options with theirs
    for status in ("  0 ", "  1 ", "  2 ", "128+N", "141"):
        assert status in text.split("Exit status", 1)[1]

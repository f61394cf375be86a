"""Many recordings at once: quorvel.batch.level_files and quorvel agc -o, on
a real Dask cluster of worker processes."""

import os
import subprocess
import sys

import numpy as np
import pytest

from quorvel import batch
from quorvel.iqfile import UsageError, level_file

from helpers import one_line, recording

import distributed  # noqa: E402  (a test dependency: these tests must run, never skip)


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  scheduler_kwargs={"dashboard_address": ":0"}, silence_logs=40) as local:
        with distributed.Client(local) as client:
            yield client


@pytest.fixture
def recordings(tmp_path):
    """Four recordings, one of them bad (not a whole number of ci16 samples)."""
    folder = tmp_path / "in"
    folder.mkdir()
    for k in range(3):
        rng = np.random.default_rng(k)
        (folder / f"rec{k}.cs16").write_bytes(rng.integers(-2000, 2000, 2 * (40_000 + 1111 * k)).astype("<i2")
                                              .tobytes())
    (folder / "rec3.cs16").write_bytes(b"\0" * 4001)
    return folder


OPTIONS = dict(in_format="ci16", out_format="ci16", out_scale=0.5, decim=16, ref_db=-9.0, block=5000)


def single(src, dst):
    level_file(src, dst, **OPTIONS)
    return dst.read_bytes()


def test_many_files_on_a_cluster_equal_single_runs(tmp_path, recordings, cluster):
    out = tmp_path / "out"
    seen = []
    summary = batch.level_files(sorted(recordings.glob("*.cs16")), out, client=cluster,
                                progress=lambda *a: seen.append(a), **OPTIONS)
    assert [row.input for row in summary] == [str(recordings / f"rec{k}.cs16") for k in range(4)]
    assert not summary.ok and [row.input for row in summary.failed] == [str(recordings / "rec3.cs16")]
    assert "rec3.cs16: 4001 bytes is not a whole number of ci16 samples" in summary.failed[0].error
    assert sorted(os.listdir(out)) == ["rec0.cs16", "rec1.cs16", "rec2.cs16"]          # nothing for the failure
    for k, row in enumerate(summary[:3]):
        assert (out / f"rec{k}.cs16").read_bytes() == single(recordings / f"rec{k}.cs16", tmp_path / "one")
        assert row.samples == 40_000 + 1111 * k and row.error is None and row.seconds > 0
        assert len(row.gain_db) == 1 and 0 < row.gain_db[0] < 40
    total = sum(os.path.getsize(p) for p in recordings.iterdir())
    assert [a[0] for a in seen] == [1, 2, 3, 4] and seen[-1] == (4, 4, total, total)
    table = str(summary).splitlines()
    assert len(table) == 5 and "final gain dB" in table[0] and "rec3.cs16" in table[4]


def test_the_command_on_a_running_scheduler(tmp_path, recordings, cluster):
    out = tmp_path / "out"
    args = ["agc", str(recordings / "rec*.cs16"), "-o", str(out), "--scheduler", cluster.scheduler.address,
            "--in-format", "ci16", "--out-format", "ci16", "--out-scale", "0.5", "--decim", "16", "--ref-db", "-9",
            "--block", "5000"]
    result = subprocess.run([sys.executable, "-m", "quorvel", *args], capture_output=True, text=True)
    assert result.returncode == 1
    lines = result.stderr.strip().splitlines()
    assert lines[0].startswith("quorvel: error: ") and "rec3.cs16: 4001 bytes" in lines[0]
    assert lines[-1] == f"3 of 4 recordings levelled into {out}; 1 failed" and len(lines) == 2
    (recordings / "rec3.cs16").unlink()
    result = subprocess.run([sys.executable, "-m", "quorvel", *args, "--quiet"], capture_output=True, text=True)
    assert result.returncode == 0 and result.stderr == ""
    for k in range(3):
        assert (out / f"rec{k}.cs16").read_bytes() == single(recordings / f"rec{k}.cs16", tmp_path / "one")


def test_the_embedded_cluster_and_the_pool_without_dask(tmp_path, recordings):
    (recordings / "rec3.cs16").unlink()
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / "distributed.py").write_text("raise ImportError('No module named distributed')\n")
    for name, env in (("embedded", {}), ("pool", {"PYTHONPATH": str(fake)})):
        out = tmp_path / name
        result = subprocess.run([sys.executable, "-m", "quorvel", "agc", *map(str, sorted(recordings.iterdir())),
                                 "-o", str(out), "--workers", "2", "--in-format", "ci16", "--decim", "16"],
                                capture_output=True, text=True, env=dict(os.environ, **env))
        assert result.returncode == 0, result.stderr
        assert result.stderr == f"3 of 3 recordings levelled into {out}\n"
        for k in range(3):
            expected = tmp_path / "one"
            level_file(recordings / f"rec{k}.cs16", expected, in_format="ci16", decim=16)
            assert (out / f"rec{k}.cs16").read_bytes() == expected.read_bytes()
    result = subprocess.run([sys.executable, "-m", "quorvel", "agc", str(recordings / "rec0.cs16"), "-o", str(out),
                             "--scheduler", "tcp://127.0.0.1:1"], capture_output=True, text=True,
                            env=dict(os.environ, PYTHONPATH=str(fake)))
    assert result.returncode == 1
    assert one_line(result.stderr) == "quorvel: error: --scheduler needs dask.distributed: " \
                                      "pip install 'quorvel[cluster]'"


def test_requests_that_cannot_run_start_nothing(tmp_path, recordings):
    (tmp_path / "other").mkdir()
    (tmp_path / "other" / "rec0.cs16").write_bytes(b"")
    cases = [([recordings / "rec0.cs16", tmp_path / "other" / "rec0.cs16"], tmp_path / "out", {},
              "would both be written to"),
             ([recordings / "rec0.cs16"], recordings, {}, "its output would replace it"),
             ([recordings / "nothing*.cs16"], tmp_path / "out", {}, "nothing*.cs16: no file matches"),
             (["-"], tmp_path / "out", {}, "give OUTPUT instead of -o"),
             ([recordings / "rec0.cs16"], tmp_path / "out", {"out_format": "cf64"}, "unknown sample format"),
             ([recordings / "rec0.cs16"], tmp_path / "out", {"decim": 0}, "decim must be a whole number")]
    for paths, outdir, options, message in cases:
        with pytest.raises(UsageError, match=message.replace("*", r"\*")):
            batch.level_files(paths, outdir, **options)
    assert not (tmp_path / "out").exists()
    with pytest.raises(TypeError, match="telemetry"):
        batch.level_files([recordings / "rec0.cs16"], tmp_path / "out", telemetry="x")
    for extra, message in ((["--telemetry", "t"], "--telemetry applies to one recording"),
                           (["--workers", "2", "--scheduler", "tcp://x:1"], "--workers sizes the local cluster")):
        result = subprocess.run([sys.executable, "-m", "quorvel", "agc", str(recordings / "rec0.cs16"), "-o",
                                 str(tmp_path / "out"), *extra], capture_output=True, text=True)
        assert result.returncode == 2 and message in one_line(result.stderr)


def test_patterns_expand_in_sorted_order(tmp_path):
    for name in ("b.cu8", "a.cu8", "c.cf32"):
        (tmp_path / name).write_bytes(b"")
    literal = tmp_path / "[x].cu8"
    literal.write_bytes(b"")
    assert batch.expand([tmp_path / "*.cu8", literal]) == [str(tmp_path / "[x].cu8"), str(tmp_path / "a.cu8"),
                                                           str(tmp_path / "b.cu8"), str(literal)]

"""quorvel agc on real recordings: sample formats, streams, the state carried
across files, probes written as they come, and the progress bar."""

import fcntl
import os
import pty
import signal
import struct
import subprocess
import sys
import termios
import time
import tracemalloc

import numpy as np
import pytest

from quorvel import cli
from quorvel._recordings import probes as probe_files
from quorvel.agc import AGC
from quorvel.formats import sample_format
from quorvel.iqfile import RecordingError, UsageError, level_file

from helpers import one_line, quorvel, recording, reference


# -- formats ------------------------------------------------------------------------------

@pytest.mark.parametrize("in_name, out_name, scale", [("cu8", "cf32", 1.0), ("ci8", "ci16", 0.25), ("ci16_be", "cu8", 0.5),
                                                      ("cf32", "ci16_be", 0.3), ("cf32_be", "ci8", 1.0)])
def test_formats_through_the_command_equal_decode_steps_encode(tmp_path, in_name, out_name, scale):
    fin, fout = sample_format(in_name), sample_format(out_name)
    rng = np.random.default_rng(3)
    if fin.is_float:
        stored = recording(tmp_path / "x", 9_001).astype(fin.component.str.replace("f", "c").replace("4", "8"))
        raw = stored.tobytes()
    else:
        info = np.iinfo(fin.component)
        raw = rng.integers(info.min, info.max, 2 * 9_001, endpoint=True).astype(fin.component).tobytes()
    src, dst = tmp_path / "in.raw", tmp_path / "out.raw"
    src.write_bytes(raw)
    result = quorvel("agc", src, dst, "--in-format", in_name, "--out-format", out_name, "--out-scale", scale,
                     "--decim", 4, "--block", 1000)
    assert result.returncode == 0, result.stderr
    expected = fout.encode(reference(fin.decode(raw), decim=4), scale)
    assert dst.read_bytes() == bytes(expected)


def test_format_errors_are_usage_errors(tmp_path):
    src = tmp_path / "in.cu8"
    src.write_bytes(b"\x80" * 101)
    for args, message in ((["--in-format", "cu16"], "unknown sample format 'cu16'"),
                          (["--in-format", "cu8"], "101 bytes is not a whole number of cu8 samples"),
                          (["--out-scale", "0"], "--out-scale: expected a positive number, got '0'")):
        result = quorvel("agc", src, tmp_path / "out", *args, text=True)
        assert result.returncode == 2 and message in one_line(result.stderr)
    assert sorted(os.listdir(tmp_path)) == ["in.cu8"]


# -- streams -------------------------------------------------------------------------------

CHUNKED = """
import os, sys, time
data = open(sys.argv[1], "rb").read()
sizes = [int(s) for s in sys.argv[2:]]
i = k = 0
while i < len(data):
    n = sizes[k % len(sizes)]
    os.write(1, data[i:i + n])
    i, k = i + n, k + 1
    if k % 97 == 0:
        time.sleep(0.001)   # let the reader catch up and see a short read
"""


@pytest.mark.parametrize("sizes", [["1", "7", "4093"], ["65537"], ["3"]])
def test_stdin_in_any_chunks_equals_the_file(tmp_path, sizes):
    src = tmp_path / "in.cu8"
    src.write_bytes(np.random.default_rng(2).integers(0, 256, 2 * 30_011, dtype=np.uint8).tobytes())
    assert cli.main(["agc", str(src), str(tmp_path / "file.cf32"), "--in-format", "cu8", "--block", "1000",
                     "--telemetry", str(tmp_path / "file.npz")]) == 0
    feeder = subprocess.Popen([sys.executable, "-c", CHUNKED, str(src), *sizes], stdout=subprocess.PIPE)
    result = subprocess.run([sys.executable, "-m", "quorvel", "agc", "--in-format", "cu8", "--block", "1000",
                             "--telemetry", str(tmp_path / "pipe.npz"), "-", "-"], stdin=feeder.stdout,
                            capture_output=True)
    feeder.stdout.close()
    assert feeder.wait() == 0 and result.returncode == 0, result.stderr
    assert result.stdout == (tmp_path / "file.cf32").read_bytes()
    file, pipe = np.load(tmp_path / "file.npz"), np.load(tmp_path / "pipe.npz")
    assert all(np.array_equal(file[k], pipe[k]) for k in ("gain_db", "level_db", "decim"))


def test_a_fifo_is_read_like_a_pipe(tmp_path):
    src, fifo = tmp_path / "in.cf32", tmp_path / "fifo"
    x = recording(src, 20_000)
    os.mkfifo(fifo)
    writer = subprocess.Popen(["sh", "-c", f'cat "{src}" > "{fifo}"'])
    assert cli.main(["agc", str(fifo), str(tmp_path / "out.cf32"), "--block", "999"]) == 0
    assert writer.wait() == 0
    assert (tmp_path / "out.cf32").read_bytes() == reference(x).tobytes()


def test_a_stream_ending_inside_a_sample_fails_and_writes_nothing(tmp_path):
    result = quorvel("agc", "-", tmp_path / "out.cf32", "--state-out", tmp_path / "state", input=b"\0" * 8003)
    assert result.returncode == 1
    assert one_line(result.stderr) == "quorvel: error: standard input: ends inside a sample (3 bytes left over)"
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("extra", [[], ["--telemetry", "probes"]])
def test_a_reader_that_goes_away_ends_the_run_quietly(tmp_path, extra):
    src = tmp_path / "in.cf32"
    recording(src, 2_000_000)
    proc = subprocess.Popen([sys.executable, "-m", "quorvel", "agc", str(src), "-", "--block", "4096", *extra],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
    assert len(proc.stdout.read(100)) == 100
    proc.stdout.close()                                   # as `| head -c 100` does
    assert proc.wait(timeout=60) == 128 + signal.SIGPIPE
    assert proc.stderr.read() == b""
    assert sorted(os.listdir(tmp_path)) == ["in.cf32"]    # the run did not finish: no probes


# -- state across files ---------------------------------------------------------------------

def test_parts_with_the_state_carried_equal_the_whole(tmp_path):
    x = recording(tmp_path / "whole.cf32", 50_003)
    cuts = [0, 8 * 1000, 8 * 3001, 50_003]                 # every part but the last a multiple of decim
    state = tmp_path / "state"
    pieces = []
    for k, (a, b) in enumerate(zip(cuts, cuts[1:])):
        part, out = tmp_path / f"p{k}.cf32", tmp_path / f"o{k}.cf32"
        x[a:b].tofile(part)
        options = ["--decim", "8", "--ref-db", "-3", "--block", "777", "--state-out", str(state)]
        if k:
            options += ["--state-in", str(state)]           # the same file in and out: carried along
        assert cli.main(["agc", str(part), str(out), *options]) == 0
        pieces.append(out.read_bytes())
    assert b"".join(pieces) == reference(x, ref_db=-3.0).tobytes()
    agc = AGC()
    agc.set_state(state.read_bytes())
    assert agc.ref_db == -3.0 and agc.decim == 8
    helped = " ".join(quorvel("agc", "--help", text=True).stdout.split())
    assert "equals levelling the whole recording bit for bit when every part but the last holds a multiple " \
           "of --decim samples" in helped


def test_state_that_does_not_fit_is_refused_before_writing(tmp_path, capsys):
    src, state = tmp_path / "in.cf32", tmp_path / "state"
    recording(src, 1000)
    assert cli.main(["agc", str(src), str(tmp_path / "a.cf32"), "--decim", "16", "--state-out", str(state)]) == 0
    capsys.readouterr()
    (tmp_path / "junk").write_bytes(b"x" * 120)
    (tmp_path / "long").write_bytes(state.read_bytes() * 2)
    cases = [(["--state-in", str(state)], 2, f"{state} continues a run with decim 16: give the same options"),
             (["--state-in", str(tmp_path / "none")], 2, f"{tmp_path / 'none'}: no such file"),
             (["--state-in", str(tmp_path / "junk")], 1, f"{tmp_path / 'junk'}: not a saved AGC state"),
             (["--state-in", str(tmp_path / "long")], 1, "long: not a saved AGC state (holds more than the 120 bytes"),
             (["--state-out", str(src)], 2, "--state-out must not be INPUT, OUTPUT or telemetry")]
    for args, status, message in cases:
        assert cli.main(["agc", str(src), str(tmp_path / "b.cf32"), *args]) == status
        assert message in one_line(capsys.readouterr().err)
    assert not (tmp_path / "b.cf32").exists()


# -- telemetry written as it comes --------------------------------------------------------------

@pytest.mark.parametrize("known", [True, False])
def test_probes_equal_the_rings_and_stay_out_of_memory(tmp_path, known, monkeypatch):
    n, decim = 1_000_000, 1
    src, npz = tmp_path / "in.cf32", tmp_path / "probes.npz"
    x = recording(src, n)
    if not known:                                        # a stream: the row count is learnt at the end
        monkeypatch.setattr("quorvel._recordings.source.Source.size", property(lambda self: None))
    tracemalloc.start()
    try:
        level_file(src, tmp_path / "out.cf32", decim=decim, block=1 << 14, telemetry=npz)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 2 << 20                                # the probes alone are 8 MB
    y, gains, levels = reference(x, decim, probes=True)
    probes = np.load(npz)
    assert np.array_equal(probes["gain_db"], gains) and np.array_equal(probes["level_db"], levels)
    assert (tmp_path / "out.cf32").read_bytes() == y.tobytes()


def test_probes_beyond_the_32_bit_zip_fields(tmp_path, monkeypatch):
    monkeypatch.setattr(probe_files, "_LIMIT", 1000)         # as if every member and offset were past 4 GiB
    src = tmp_path / "in.cf32"
    x = recording(src, 20_000)
    level_file(src, tmp_path / "out.cf32", decim=2, telemetry=tmp_path / "p")
    _, gains, levels = reference(x, 2, probes=True)
    probes = np.load(tmp_path / "p.npz")
    assert np.array_equal(probes["gain_db"], gains) and np.array_equal(probes["level_db"], levels)
    assert int(probes["decim"]) == 2
    if subprocess.run(["sh", "-c", "command -v unzip"], capture_output=True).returncode == 0:
        assert subprocess.run(["unzip", "-tq", str(tmp_path / "p.npz")], capture_output=True).returncode == 0


def test_telemetry_into_a_pipe_is_refused_before_reading(tmp_path):
    src, fifo = tmp_path / "in.cf32", tmp_path / "probes.npz"
    recording(src, 100)
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        with pytest.raises(UsageError, match="telemetry is written at its places"):
            level_file(src, tmp_path / "out.cf32", telemetry=fifo)
    finally:
        os.close(reader)
    assert sorted(os.listdir(tmp_path)) == ["in.cf32", "probes.npz"]


# -- progress -----------------------------------------------------------------------------------

def on_a_terminal(args, columns=120):
    """Runs the command with standard error on a pseudo-terminal; its exit status and what it drew."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    proc = subprocess.Popen([sys.executable, "-m", "quorvel", *map(str, args)], stdout=subprocess.DEVNULL,
                            stderr=slave)
    os.close(slave)
    drawn = b""
    while True:
        try:
            chunk = os.read(master, 1 << 16)
        except OSError:  # the terminal closed
            break
        if not chunk:
            break
        drawn += chunk
    os.close(master)
    return proc.wait(), drawn.decode(errors="replace")


@pytest.mark.skipif(not os.path.exists("/dev/ptmx"), reason="needs pseudo-terminals")
def test_a_long_run_draws_a_bar_with_rates_and_time_left(tmp_path):
    import tqdm  # noqa: F401  (a test dependency: the bar must be drawn here)
    src = tmp_path / "in.cu8"
    src.write_bytes(bytes(2 * 1_000_000))
    slow = ["agc", src, os.devnull, "--in-format", "cu8", "--decim", "1", "--block", "4"]  # tiny reads: seconds
    started = time.perf_counter()
    status, drawn = on_a_terminal(slow)
    seconds = time.perf_counter() - started
    assert status == 0
    if seconds < 1.5:
        pytest.skip("the run was too fast to show a bar")  # a bar waits for a second
    assert "B/s" in drawn and "Msample/s" in drawn and "<" in drawn and "%|" in drawn, drawn
    assert "1,000,000 samples levelled" in drawn
    status, drawn = on_a_terminal([*slow, "--quiet"])
    assert status == 0 and drawn == ""


def test_no_bar_without_a_terminal(tmp_path):
    src = tmp_path / "in.cf32"
    recording(src, 1000)
    result = quorvel("agc", src, os.devnull, text=True)
    assert result.returncode == 0 and result.stderr == "1,000 samples levelled into /dev/null\n"

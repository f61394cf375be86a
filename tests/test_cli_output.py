"""quorvel agc's destinations: what kind of file OUTPUT and --telemetry may
be, signals and full disks midway, modes, and the messages a user sees."""

import json
import os
import re
import shutil
import signal
import stat
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from quorvel import cli
from quorvel.agc import AGC

from helpers import one_line, recording


def levelled(x, decim=8):
    agc = AGC()
    agc.decim = decim
    return agc.steps(x).tobytes()


def run(*args, **kwargs):
    return subprocess.run([sys.executable, "-m", "quorvel", *map(str, args)], capture_output=True, **kwargs)


@pytest.fixture
def src(tmp_path):
    path = tmp_path / "in.cf32"
    recording(path, 5000)
    return path


def device(tmp_path, name, minor):
    """A character device like /dev/null (minor 3) or /dev/full (minor 7), made here."""
    path = tmp_path / name
    try:
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, minor))
        os.close(os.open(path, os.O_WRONLY))
    except OSError:
        pytest.skip("needs permission to make and open device nodes")
    return path


# -- kinds of OUTPUT ------------------------------------------------------------

def test_dash_is_standard_output(tmp_path, src):
    result = run("agc", src, "-", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == levelled(np.fromfile(src, "<c8"))
    assert "into standard output" in one_line(result.stderr)
    assert sorted(os.listdir(tmp_path)) == ["in.cf32"]


def test_symlink_to_stdout_writes_into_the_pipe(tmp_path, src):
    link = tmp_path / "stdout"
    link.symlink_to("/proc/self/fd/1")
    result = run("agc", src, link)
    assert result.returncode == 0, result.stderr
    assert result.stdout == levelled(np.fromfile(src, "<c8"))
    assert link.is_symlink()


def test_character_devices_are_written_in_place(tmp_path, src, capsys):
    null, full = device(tmp_path, "null", 3), device(tmp_path, "full", 7)
    assert cli.main(["agc", str(src), str(null)]) == 0
    assert cli.main(["agc", str(src), str(full)]) == 1
    assert one_line(capsys.readouterr().err.splitlines()[-1]) == f"quorvel: error: {full}: No space left on device"
    assert stat.S_ISCHR(os.stat(null).st_mode) and stat.S_ISCHR(os.stat(full).st_mode)
    assert sorted(os.listdir(tmp_path)) == ["full", "in.cf32", "null"]


def test_fifo_is_written_in_place(tmp_path, src):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)  # the writer's open then never waits
    status = []
    writer = threading.Thread(target=lambda: status.append(cli.main(["agc", str(src), str(fifo)])))
    writer.start()
    received = bytearray()
    while True:
        done = not writer.is_alive()
        try:
            chunk = os.read(reader, 1 << 16)
        except BlockingIOError:                              # open for writing, nothing written yet
            chunk = None
        if chunk:
            received += chunk
        elif done:
            break
        else:
            time.sleep(0.001)
    writer.join()
    os.close(reader)
    assert status == [0] and bytes(received) == levelled(np.fromfile(src, "<c8"))
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)


def test_symlinks_are_followed_and_the_target_replaced(tmp_path, src):
    target, link, chain = tmp_path / "data" / "out.cf32", tmp_path / "out.cf32", tmp_path / "again.cf32"
    target.parent.mkdir()
    target.write_bytes(b"previous")
    target.chmod(0o640)
    link.symlink_to(target)
    chain.symlink_to(link)
    assert cli.main(["agc", str(src), str(chain)]) == 0
    assert chain.is_symlink() and link.is_symlink() and os.readlink(link) == str(target)
    assert target.read_bytes() == levelled(np.fromfile(src, "<c8"))
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    dangling = tmp_path / "new.cf32"
    dangling.symlink_to(tmp_path / "data" / "created.cf32")
    assert cli.main(["agc", str(src), str(dangling)]) == 0
    assert (tmp_path / "data" / "created.cf32").read_bytes() == target.read_bytes()
    assert sorted(os.listdir(tmp_path / "data")) == ["created.cf32", "out.cf32"]


def test_unwritable_kinds_are_refused_before_reading(tmp_path, src):
    (tmp_path / "folder").mkdir()
    result = run("agc", src, tmp_path / "folder")
    assert result.returncode == 2
    assert one_line(result.stderr) == f"quorvel: error: {tmp_path / 'folder'}: is a directory"


# -- modes ----------------------------------------------------------------------

def test_new_files_honour_the_umask_and_replaced_ones_keep_their_mode(tmp_path, src):
    new, old = tmp_path / "new.cf32", tmp_path / "old.cf32"
    old.write_bytes(b"previous")
    old.chmod(0o604)
    previous = os.umask(0o022)
    try:
        assert cli.main(["agc", str(src), str(new), "--telemetry", str(tmp_path / "probes")]) == 0
        assert cli.main(["agc", str(src), str(old)]) == 0
    finally:
        os.umask(previous)
    assert stat.S_IMODE(new.stat().st_mode) == 0o644
    assert stat.S_IMODE((tmp_path / "probes.npz").stat().st_mode) == 0o644
    assert stat.S_IMODE(old.stat().st_mode) == 0o604 and old.read_bytes() == new.read_bytes()


def test_a_failing_fsync_fails_the_run(tmp_path, src, monkeypatch, capsys):
    out = tmp_path / "out.cf32"
    out.write_bytes(b"previous")

    def fsync(fd):
        raise OSError(5, "Input/output error")
    monkeypatch.setattr(os, "fsync", fsync)
    assert cli.main(["agc", str(src), str(out)]) == 1
    assert one_line(capsys.readouterr().err) == f"quorvel: error: {out}: Input/output error"
    assert out.read_bytes() == b"previous"
    assert sorted(os.listdir(tmp_path)) == ["in.cf32", "out.cf32"]


# -- signals midway ---------------------------------------------------------------

SIGNALLED = """
import os, sys
import quorvel.agc
signum, temporaries, *argv = sys.argv[1:]
import quorvel._recordings.outputs as outputs
outputs.UNNAMED = outputs.UNNAMED and temporaries == "unnamed"
Real = quorvel.agc.AGCBank

class SignalledAGC:
    '''The channels' real AGCBank, whose third block brings the signal.'''
    def __init__(self, *args):
        self.real, self.calls = Real(*args), 0
    decim = property(lambda self: self.real.decim, lambda self, value: setattr(self.real, "decim", value))
    channels = property(lambda self: self.real.channels)
    def set_telemetry(self, *args):
        self.real.set_telemetry(*args)
    def steps(self, x, out=None, layout="rows"):
        self.calls += 1
        if self.calls == 3:
            os.kill(os.getpid(), int(signum))
        return self.real.steps(x, out=out, layout=layout)

quorvel.agc.AGCBank = SignalledAGC
from quorvel.cli import main
sys.exit(main(argv))
"""


@pytest.mark.parametrize("temporaries", ["unnamed", "named"])
@pytest.mark.parametrize("signum, word", [(signal.SIGTERM, "terminated"), (signal.SIGHUP, "hung up"),
                                          (signal.SIGINT, "interrupted")])
def test_stopping_signals_leave_nothing_behind(tmp_path, signum, word, temporaries):
    src, out, npz = tmp_path / "in.cf32", tmp_path / "out.cf32", tmp_path / "probes.npz"
    recording(src, 50_000)
    out.write_bytes(b"previous result")
    npz.write_bytes(b"previous probes")
    result = subprocess.run([sys.executable, "-c", SIGNALLED, str(int(signum)), temporaries, "agc", str(src),
                             str(out), "--block", "1000", "--telemetry", str(npz)], capture_output=True, text=True)
    assert result.returncode == 128 + signum, result.stderr
    assert one_line(result.stderr) == f"quorvel: {word}"
    assert out.read_bytes() == b"previous result" and npz.read_bytes() == b"previous probes"
    assert sorted(os.listdir(tmp_path)) == ["in.cf32", "out.cf32", "probes.npz"]


def test_a_signal_as_the_temporary_gets_its_name_leaves_nothing(tmp_path, src):
    (tmp_path / "out.cf32").write_bytes(b"previous result")
    code = """
import os, signal, sys
from quorvel import cli
real = os.link
def link(source, name, **kwargs):  # SIGTERM the instant the finished temporary is linked in
    real(source, name, **kwargs)
    if name.startswith(".quorvel-"):
        os.kill(os.getpid(), signal.SIGTERM)
os.link = link
sys.exit(cli.main(["agc", *sys.argv[1:]]))
"""
    result = subprocess.run([sys.executable, "-c", code, src, str(tmp_path / "out.cf32")], capture_output=True,
                            text=True)
    assert result.returncode == 128 + signal.SIGTERM and one_line(result.stderr) == "quorvel: terminated"
    assert sorted(os.listdir(tmp_path)) == ["in.cf32", "out.cf32"] and (tmp_path / "out.cf32").read_bytes() == b"previous result"


@pytest.mark.parametrize("loading", ["argparse", "numpy"])  # while the command loads, and while numpy does
def test_interrupt_during_start_up_prints_one_line(tmp_path, src, loading):
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / f"{loading}.py").write_text("raise KeyboardInterrupt\n")  # as if Ctrl-C came right then
    env = dict(os.environ, PYTHONPATH=str(fake))
    script = os.path.join(os.path.dirname(sys.executable), "quorvel")
    for command in ([sys.executable, "-m", "quorvel"], [script]):
        for args in ([], ["agc", src, tmp_path / "out.cf32"]):
            result = subprocess.run([*command, *map(str, args)], capture_output=True, env=env, text=True)
            assert result.returncode == 130 and one_line(result.stderr) == "quorvel: interrupted"


# -- full disks ---------------------------------------------------------------------

FULL_DISK = """
import contextlib, io, json, os, sys
from quorvel import cli
small, src, elsewhere = sys.argv[1:]
out, npz, far = os.path.join(small, "out.cf32"), os.path.join(small, "probes.npz"), os.path.join(elsewhere, "o.cf32")
for path in (out, npz, far):
    with open(path, "wb") as f:
        f.write(b"previous")
report = []
for argv in (["agc", src, out], ["agc", src, far, "--decim", "1", "--telemetry", npz]):
    err = io.StringIO()
    with contextlib.redirect_stderr(err):
        status = cli.main(argv)
    report.append([status, err.getvalue()])
kept = [open(path, "rb").read() == b"previous" for path in (out, npz, far)]
print(json.dumps([report, sorted(os.listdir(small)), kept]))
"""


def test_full_disk_leaves_outputs_as_they_were(tmp_path):
    if shutil.which("unshare") is None or subprocess.run(
            ["unshare", "-m", "mount", "-t", "tmpfs", "tmpfs", str(tmp_path)], capture_output=True).returncode:
        pytest.skip("needs unshare and mount (root in a mount namespace)")
    small, elsewhere = tmp_path / "small", tmp_path / "elsewhere"
    small.mkdir()
    elsewhere.mkdir()
    src = elsewhere / "in.cf32"
    recording(src, 100_000)                                        # 800 kB of samples, 800 kB of probes
    result = subprocess.run(["unshare", "-m", "sh", "-c", 'mount -t tmpfs -o size=64k tmpfs "$0" && exec "$@"',
                             str(small), sys.executable, "-c", FULL_DISK, str(small), str(src), str(elsewhere)],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    report, listing, kept = json.loads(result.stdout)
    out, npz = small / "out.cf32", small / "probes.npz"
    assert report[0][0] == 1 and one_line(report[0][1]) == f"quorvel: error: {out}: No space left on device"
    assert report[1][0] == 1 and one_line(report[1][1]) == f"quorvel: error: {npz}: No space left on device"
    assert listing == ["out.cf32", "probes.npz"] and kept == [True, True, True]
    assert sorted(os.listdir(elsewhere)) == ["in.cf32", "o.cf32"]


# -- --telemetry ------------------------------------------------------------------------

class CountingAGC:
    """Stands in for the channels' AGCBank to show whether any samples were processed."""
    calls = 0
    decim = 8

    def __init__(self, *args):
        pass

    def set_telemetry(self, *args):
        pass

    def steps(self, x, out=None, layout="rows"):
        CountingAGC.calls += 1
        return x


@pytest.mark.parametrize("telemetry, status, message", [
    ("{out}", 2, "telemetry must not be INPUT or OUTPUT"),
    ("{tmp}/out", 2, "telemetry must not be INPUT or OUTPUT"),        # .npz is added: OUTPUT again
    ("{tmp}/link", 2, "telemetry must not be INPUT or OUTPUT"),       # a symlink to INPUT
    ("{tmp}/hard.npz", 2, "telemetry must not be INPUT or OUTPUT"),   # a hard link to INPUT
    ("{tmp}/no/such/dir/p.npz", 1, "{tmp}/no/such/dir/p.npz: No such file or directory"),
])
def test_telemetry_destination_is_checked_before_processing(tmp_path, src, monkeypatch, capsys, telemetry, status,
                                                           message):
    out = tmp_path / "out.npz"
    out.write_bytes(b"previous")
    (tmp_path / "link.npz").symlink_to(src)
    os.link(src, tmp_path / "hard.npz")
    monkeypatch.setattr("quorvel.agc.AGCBank", CountingAGC)
    CountingAGC.calls = 0
    names = dict(src=src, out=out, tmp=tmp_path)
    assert cli.main(["agc", str(src), str(out), "--telemetry", telemetry.format(**names)]) == status
    assert one_line(capsys.readouterr().err) == "quorvel: error: " + message.format(**names)
    assert CountingAGC.calls == 0
    assert out.read_bytes() == b"previous" and sorted(os.listdir(tmp_path)) == ["hard.npz", "in.cf32", "link.npz", "out.npz"]


# -- sizes ---------------------------------------------------------------------------------

@pytest.mark.parametrize("decim, block", [(2**40, 8), (3, 2**50), (2**64 - 1, 1)])
def test_huge_decim_or_block_reads_what_the_file_holds(tmp_path, decim, block):
    src, dst, npz = tmp_path / "in.cf32", tmp_path / "out.cf32", tmp_path / "p.npz"
    x = recording(src, 1000)
    assert cli.main(["agc", str(src), str(dst), "--decim", str(decim), "--block", str(block),
                     "--telemetry", str(npz)]) == 0
    assert dst.read_bytes() == levelled(x, decim)
    assert len(np.load(npz)["gain_db"]) == -(-1000 // decim)


def test_help_shows_every_default():
    text = run("agc", "--help", text=True).stdout
    for option, default in [("--ref-db", "0.0"), ("--loop-bw", "0.0025"), ("--alpha", "0.05"), ("--decim", "8"),
                            ("--clip-db", "120.0"), ("--block", "1048576"), ("--telemetry", "not saved")]:
        entry = re.search(r"^  " + re.escape(option) + r" \S+\s+(.*?)(?=\n  -|\Z)", text, re.S | re.M).group(1)
        assert f"(default: {default})" in " ".join(entry.split()), (option, entry)


# -- standard streams ------------------------------------------------------------------------

def test_two_outputs_on_one_stream_are_refused(tmp_path, src):
    into, before = tmp_path / "into", src.read_bytes()
    cases = [(["-", "--state-out", "/dev/stdout"], None, "--state-out must not be INPUT, OUTPUT or telemetry"),
             (["/dev/stdout", "--state-out", "-"], None, "--state-out must not be INPUT, OUTPUT or telemetry"),
             (["-", "--state-out", into], into, "--state-out must not be INPUT, OUTPUT or telemetry"),
             (["-"], src, "OUTPUT must not be INPUT")]
    for args, stdout, message in cases:
        with open(stdout or os.devnull, "ab") as sink:
            result = subprocess.run([sys.executable, "-m", "quorvel", "agc", src, *map(str, args)],
                                    stdout=sink if stdout else subprocess.PIPE, stderr=subprocess.PIPE)
        assert result.returncode == 2 and one_line(result.stderr) == f"quorvel: error: {message}"
        assert not result.stdout
    assert src.read_bytes() == before and into.read_bytes() == b""


def test_closed_standard_streams(tmp_path, src):
    def closed(fd, *args):
        return subprocess.run(["sh", "-c", f'exec "$@" {fd}>&-', "sh", sys.executable, "-m", "quorvel", "agc",
                               src, *map(str, args)], capture_output=True)

    result = closed(1, "-")
    assert result.returncode == 1 and one_line(result.stderr) == "quorvel: error: standard output: Bad file descriptor"
    want = levelled(np.fromfile(src, "<c8"))
    result = closed(2, tmp_path / "out.cf32")                # no bar and no report, the run all the same
    assert result.returncode == 0 and (tmp_path / "out.cf32").read_bytes() == want
    result = closed(2, "-")                                  # nothing but the samples on standard output
    assert result.returncode == 0 and result.stdout == want
    result = closed(2, "-o", tmp_path / "many", "--workers", "1")
    assert result.returncode == 0 and (tmp_path / "many" / "in.cf32").read_bytes() == want

"""Many recordings at once: quorvel.batch.level_files and quorvel agc -o, on
real Dask clusters: a `dask scheduler` and `dask worker` processes started
here on 127.0.0.1 (their workers in a folder of their own) and stopped by
PID, and the embedded local cluster."""

import concurrent.futures as cf
import fcntl
import http.server
import json
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from quorvel import __version__, batch
from quorvel._recordings.options import OPTIONS as AGC_OPTIONS, as_json
from quorvel.iqfile import UsageError, level_file

from helpers import one_line, recording

import distributed  # noqa: E402  (a test dependency: these tests must run, never skip)


class Processes:
    """A `dask scheduler` on 127.0.0.1 and the `dask worker` processes added to
    it, each in a session of its own, stopped by PID."""

    def __init__(self, folder, env=None):
        self.folder, self.env = folder, dict(os.environ, **(env or {}))
        self.folder.mkdir(parents=True, exist_ok=True)
        self.file = folder / "scheduler.json"
        self.workers = []
        self.scheduler = self._start(["distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0",
                                      "--no-dashboard", "--scheduler-file", self.file], folder, "scheduler")
        deadline = time.time() + 60
        while not (self.file.exists() and self.file.stat().st_size):
            assert time.time() < deadline and self.scheduler.poll() is None, "the scheduler did not start"
            time.sleep(0.05)
        self.address = json.loads(self.file.read_text())["address"]

    def _start(self, args, cwd, log, env=None):
        with open(self.folder / f"{log}.log", "ab") as out:
            return subprocess.Popen([sys.executable, "-m", *map(str, args)], cwd=cwd, stdout=out, stderr=out,
                                    env=dict(self.env, **(env or {})), start_new_session=True)

    def add_workers(self, count, cwd, *args, env=None, wait=True):
        """``count`` workers started in ``cwd``: their `dask worker` process."""
        before = self.count()
        cwd.mkdir(parents=True, exist_ok=True)
        worker = self._start(["distributed.cli.dask_worker", "--scheduler-file", self.file, "--nworkers", count,
                              "--nthreads", 1, "--no-dashboard", *args], cwd, f"workers-{len(self.workers)}", env)
        self.workers.append(worker)
        if wait:
            self.wait_for(lambda n: n >= before + count)
        return worker

    def count(self):
        with distributed.Client(self.address, timeout="30s") as client:
            return len(client.scheduler_info()["workers"])

    def wait_for(self, test, seconds=60):
        deadline = time.time() + seconds
        while not test(self.count()):
            assert time.time() < deadline, "the workers did not come or go"
            time.sleep(0.1)

    @staticmethod
    def kill(process, signum=signal.SIGKILL):
        """``process`` and what it started (its session), by PID."""
        try:
            os.killpg(process.pid, signum)
        except ProcessLookupError:
            pass
        process.wait(timeout=60)

    def stop(self):
        for process in [*self.workers, self.scheduler]:
            self.kill(process, signal.SIGTERM if process.poll() is None else signal.SIGKILL)


NAMED_TEMPORARIES = """
import quorvel._recordings.outputs as outputs
outputs.UNNAMED = False  # as on a filesystem that refuses O_TMPFILE
"""


@pytest.fixture(scope="module")
def processes(tmp_path_factory):
    """The shared cluster: two workers started elsewhere, writing named temporaries."""
    folder = tmp_path_factory.mktemp("cluster")
    (folder / "named_temporaries.py").write_text(NAMED_TEMPORARIES)
    shared = Processes(folder)
    try:
        shared.add_workers(2, folder / "workers", "--preload", folder / "named_temporaries.py")
        yield shared
    finally:
        shared.stop()


@pytest.fixture
def client(processes):
    with distributed.Client(processes.address, timeout="30s") as connected:
        yield connected


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
COMMAND = ["--in-format", "ci16", "--out-format", "ci16", "--out-scale", "0.5", "--decim", "16", "--ref-db", "-9",
           "--block", "5000"]


def single(src, dst):
    level_file(src, dst, **OPTIONS)
    return dst.read_bytes()


def test_many_files_on_a_cluster_equal_single_runs(tmp_path, recordings, client):
    out = tmp_path / "out"
    seen = []
    summary = batch.level_files(sorted(recordings.glob("*.cs16")), out, client=client,
                                progress=lambda *a: seen.append(a), **OPTIONS)
    assert [row.input for row in summary] == [str(recordings / f"rec{k}.cs16") for k in range(4)]
    assert not summary.ok and [row.input for row in summary.failed] == [str(recordings / "rec3.cs16")]
    assert "rec3.cs16: 4001 bytes is not a whole number of ci16 samples" in summary.failed[0].error
    assert sorted(os.listdir(out)) == ["quorvel-manifest.jsonl", "rec0.cs16", "rec1.cs16", "rec2.cs16"]  # none for the failure
    for k, row in enumerate(summary[:3]):
        assert (out / f"rec{k}.cs16").read_bytes() == single(recordings / f"rec{k}.cs16", tmp_path / "one")
        assert row.samples == 40_000 + 1111 * k and row.error is None and row.seconds > 0
        assert len(row.gain_db) == 1 and 0 < row.gain_db[0] < 40
    total = sum(os.path.getsize(p) for p in recordings.iterdir())
    assert [a[0] for a in seen] == [1, 2, 3, 4] and seen[-1] == (4, 4, total, total)
    table = str(summary).splitlines()
    assert len(table) == 5 and "final gain dB" in table[0] and "rec3.cs16" in table[4]


def test_the_command_on_a_running_scheduler(tmp_path, recordings, client):
    out = tmp_path / "out"
    args = ["agc", str(recordings / "rec*.cs16"), "-o", str(out), "--scheduler", client.scheduler.address,
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
            assert (out / f"rec{k}.cf32").read_bytes() == expected.read_bytes()   # the output format's extension
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
             ([recordings / "rec0.cs16"], recordings, {"out_format": "ci16"}, "its output would replace it"),
             ([recordings / "nothing*.cs16"], tmp_path / "out", {}, "nothing*.cs16: no file matches"),
             (["-"], tmp_path / "out", {}, "give OUTPUT instead of -o"),
             ([recordings / "rec0.cs16"], tmp_path / "out", {"out_format": "cf64"}, "unknown sample format"),
             ([recordings / "rec0.cs16"], tmp_path / "out", {"decim": 0}, "decim must be a whole number"),
             ([tmp_path / "other" / "quorvel-manifest.jsonl"], tmp_path / "out", {}, "would be OUTDIR's manifest")]
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


QUORVEL_WITH = """
import sys
from quorvel._recordings import cluster
for name, value in {settings}.items():
    setattr(cluster, name, value)
from quorvel import cli
sys.exit(cli.main(sys.argv[1:]))
"""


def quorvel_with(settings, *args, timeout=120):
    """``quorvel ARGS`` in a process whose cluster module has ``settings``
    (less patience), its output as text."""
    return subprocess.run([sys.executable, "-c", QUORVEL_WITH.format(settings=settings), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)


def failures(stderr):
    """The lines of a run that ended in failures: each one line with a reason, then the summary."""
    lines = stderr.strip().splitlines()
    assert lines and "Traceback" not in stderr and not any(line.startswith(" ") for line in lines), stderr
    for line in lines[:-1]:
        assert line.startswith("quorvel: error: ") and line.split(": ", 3)[-1].strip(), line
    return lines


# -- a cluster of its own ------------------------------------------------------------------------------

def test_paths_are_resolved_here_and_outputs_checked_from_here(tmp_path, recordings, processes, client,
                                                               monkeypatch):
    (recordings / "rec3.cs16").unlink()
    monkeypatch.chdir(tmp_path)                          # the workers run in another folder
    summary = batch.level_files(["in/rec*.cs16"], "relout", client=client, **OPTIONS)
    assert summary.ok and [row.input for row in summary] == [str(recordings / f"rec{k}.cs16") for k in range(3)]
    for k in range(3):
        assert (tmp_path / "relout" / f"rec{k}.cs16").read_bytes() == single(recordings / f"rec{k}.cs16",
                                                                             tmp_path / "one")
    # Each process sees a folder of its own under this name, as a worker whose OUTDIR is not the shared one.
    (processes.folder / "workers" / "view").mkdir(exist_ok=True)
    result = subprocess.run([sys.executable, "-m", "quorvel", "agc", "in/rec*.cs16", "-o", "/proc/self/cwd/view",
                             "--scheduler", processes.address, *COMMAND], capture_output=True, text=True,
                            cwd=tmp_path, timeout=120)
    lines = failures(result.stderr)
    assert result.returncode == 1 and len(lines) == 4 and lines[-1].endswith("0 of 3 recordings levelled into "
                                                                             "/proc/self/cwd/view; 3 failed")
    for k, line in enumerate(lines[:3]):
        assert line == f"quorvel: error: {recordings}/rec{k}.cs16: a worker levelled it, but its output " \
                       f"/proc/self/cwd/view/rec{k}.cs16 is not here as written: that worker's filesystem is not " \
                       "this machine's (workers must reach INPUT and OUTDIR under the same names)"
    assert sorted(os.listdir(tmp_path / "view")) == ["quorvel-manifest.jsonl"]


def test_what_is_no_scheduler_is_refused_in_seconds(tmp_path, recordings):
    from quorvel._recordings import cluster

    def serve(reply):
        listener = socket.create_server(("127.0.0.1", 0))
        held = []

        def accept():
            while True:
                conn, _ = listener.accept()
                held.append(conn)                         # kept open, saying nothing more
                conn.sendall(reply)
        threading.Thread(target=accept, daemon=True).start()
        return listener
    silent, banner = serve(b""), serve(b"SSH-2.0-OpenSSH_9.2p1\r\n")
    web = http.server.ThreadingHTTPServer(("127.0.0.1", 0), http.server.BaseHTTPRequestHandler)
    threading.Thread(target=web.serve_forever, daemon=True).start()
    with socket.create_server(("127.0.0.1", 0)) as closed:
        free = closed.getsockname()[1]                   # nothing listens there once closed
    cases = [(silent.getsockname()[1], "not a Dask scheduler (no handshake in 5 s)"),
             (web.server_address[1], "not a Dask scheduler (no handshake in 5 s)"),
             (banner.getsockname()[1], "not a Dask scheduler (what it sent is no Dask handshake)"),
             (free, "no Dask scheduler there (Connection refused)")]
    command = subprocess.Popen([sys.executable, "-m", "quorvel", "agc", recordings / "rec0.cs16", "-o", tmp_path / "out",
                                "--scheduler", f"tcp://127.0.0.1:{cases[0][0]}"], stderr=subprocess.PIPE, text=True)
    try:
        def refused(port):
            with pytest.raises(batch.ClusterError) as caught:
                cluster.connect(f"tcp://127.0.0.1:{port}")
            return str(caught.value)
        with cf.ThreadPoolExecutor(len(cases)) as pool:
            said = list(pool.map(refused, [port for port, _ in cases]))
        assert said == [f"tcp://127.0.0.1:{port}: {message}" for port, message in cases]
        assert command.wait(timeout=60) == 1
        assert one_line(command.stderr.read()) == f"quorvel: error: tcp://127.0.0.1:{cases[0][0]}: {cases[0][1]}"
    finally:
        command.kill()
        web.shutdown()
    assert not (tmp_path / "out").exists()


def test_every_worker_must_run_this_quorvel(tmp_path, recordings, processes):
    missing, old = tmp_path / "missing" / "quorvel", tmp_path / "old" / "quorvel"
    for package, text in ((missing, "raise ImportError(\"No module named 'quorvel'\")\n"),
                          (old, "__version__ = '0.0.1'\n")):
        package.mkdir(parents=True)
        (package / "__init__.py").write_text(text)
        (package / "batch.py").write_text("")
    unfit = [processes.add_workers(1, tmp_path, env={"PYTHONPATH": str(package.parent)}, wait=False)
             for package in (missing, old)]
    try:
        processes.wait_for(lambda n: n == 4)
        result = subprocess.run([sys.executable, "-m", "quorvel", "agc", recordings / "rec0.cs16", "-o", tmp_path / "out",
                                 "--scheduler", processes.address], capture_output=True, text=True, timeout=120)
        line = one_line(result.stderr)
        assert result.returncode == 1 and line.startswith(f"quorvel: error: {processes.address}: every worker must "
                                                          f"run quorvel {__version__}; tcp://127.0.0.1:")
        assert "cannot import quorvel (ImportError: No module named 'quorvel')" in line
        assert "runs quorvel 0.0.1" in line and line.count("tcp://") == 3
        assert not (tmp_path / "out").exists()
    finally:
        for worker in unfit:
            processes.kill(worker, signal.SIGTERM)
        processes.wait_for(lambda n: n == 2)


def test_a_cluster_lost_on_the_way_ends_the_run_with_a_reason_for_each_file(tmp_path):
    for k in range(6):
        recording(tmp_path / f"slow{k}.cf32", 100_000, seed=k)
    slow = [tmp_path / f"slow{k}.cf32" for k in range(6)]
    own = Processes(tmp_path / "cluster")
    patience = {"WORKER_SECONDS": 2.0, "PATIENCE_SECONDS": 3.0}
    try:
        result = quorvel_with(patience, "agc", *slow, "-o", tmp_path / "none", "--scheduler", own.address)
        assert result.returncode == 1 and one_line(result.stderr) == \
            f"quorvel: error: {own.address}: no worker joined the cluster in 2 s"
        port = own.address.rsplit(":", 1)[1]
        for lost, reasons in (("workers", r"not levelled: the cluster at \S+ has had no worker for 3 s"),
                              ("scheduler", r"not levelled: (lost the scheduler at \S+ for 3 s|the scheduler at \S+ "
                                            r"restarted, forgetting the run's tasks)|the cluster dropped its task")):
            workers = own.add_workers(1, tmp_path / "workers")
            out = tmp_path / lost
            run = subprocess.Popen([sys.executable, "-c", QUORVEL_WITH.format(settings=patience), "agc", *slow, "-o",
                                    out, "--scheduler", own.address, "--block", "8"], stderr=subprocess.PIPE, text=True)
            while not any(path.suffix == ".cf32" for path in out.glob("*")):  # a file levelled: the rest under way
                assert run.poll() is None, run.stderr.read()
                time.sleep(0.05)
            if lost == "workers":
                own.kill(workers)
            else:
                own.kill(own.scheduler)
                own.scheduler = own._start(["distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", port,
                                            "--no-dashboard"], own.folder, "scheduler")
            lines = failures(run.communicate(timeout=120)[1])
            assert run.returncode == 1 and re.fullmatch(rf"\d of 6 recordings levelled into {out}; \d failed", lines[-1])
            assert len(lines) > 2 and all(re.search(reasons, line) for line in lines[:-1]), lines
            own.kill(workers)
    finally:
        own.stop()


def test_temporaries_of_killed_writers_are_removed(tmp_path, processes, client):
    big = tmp_path / "big.cf32"
    x = recording(big, 1 << 22)
    out = tmp_path / "out"
    out.mkdir()
    stale = out / ".quorvel-0badf00d.part"                 # left by a writer killed in an earlier run
    stale.write_bytes(b"\0" * 4096)
    live = out / ".quorvel-00c0ffee.part"                  # another run's, being written
    live.write_bytes(b"")
    holder = os.open(live, os.O_RDONLY)
    fcntl.flock(holder, fcntl.LOCK_EX)
    pids = client.run(os.getpid)
    killed, done = [], threading.Event()

    def kill_the_writer():  # SIGKILL the worker while its named temporary grows
        while not killed and not done.is_set():  # a run that ended first must not leave it polling the client
            writing = [name for name in os.listdir(out) if name.endswith(".part") and name not in (stale.name, live.name)]
            busy = [worker for worker, keys in client.processing().items() if keys]
            if writing and busy and os.path.getsize(out / writing[0]) > 1 << 20:
                os.kill(pids[busy[0]], signal.SIGKILL)
                killed.append(writing[0])
            time.sleep(0.01)
    killer = threading.Thread(target=kill_the_writer, daemon=True)
    killer.start()
    try:
        summary = batch.level_files([big], out, client=client, block=1 << 12)
    finally:
        done.set()
        os.close(holder)
    killer.join(timeout=1)
    assert killed and summary.ok and summary.leftovers == []            # the task ran again elsewhere
    assert sorted(os.listdir(out)) == [live.name, "big.cf32", "quorvel-manifest.jsonl"]
    expected = tmp_path / "one.cf32"
    level_file(big, expected)
    assert (out / "big.cf32").read_bytes() == expected.read_bytes() and len(x) == 1 << 22
    processes.wait_for(lambda n: n == 2)                                 # the killed worker is back


def wide(path, frames, channels=64):
    """A SigMF recording of ``channels`` ci8 channels; its samples, one row per frame."""
    codes = np.random.default_rng(channels).integers(-128, 128, (frames, channels, 2), dtype=np.int8)
    path.with_suffix(".sigmf-data").write_bytes(codes.tobytes())
    path.with_suffix(".sigmf-meta").write_text(json.dumps({
        "global": {"core:datatype": "ci8", "core:version": "1.2.0", "core:num_channels": channels},
        "captures": [{"core:sample_start": 0}], "annotations": []}))
    return path.with_suffix(".sigmf-meta")


def test_a_read_s_buffers_stay_within_their_bound_however_many_channels(tmp_path, monkeypatch):
    import tracemalloc
    from quorvel import iqfile

    path = wide(tmp_path / "wide", 20_000)
    whole = tmp_path / "whole.sigmf-meta"
    level_file(path, whole, block=1 << 21)                          # one read: 23 MB of buffers
    monkeypatch.setattr(iqfile, "READ_BYTES", 1 << 20)
    tracemalloc.start()
    try:
        level_file(path, tmp_path / "bounded.sigmf-meta", block=1 << 21)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < (1 << 20) + (1 << 19)                             # the bound, the bank and the metadata
    assert (tmp_path / "bounded.sigmf-data").read_bytes() == (tmp_path / "whole.sigmf-data").read_bytes()


# A sanitizer's shadow memory and quarantine count against a worker's memory
# limit: its nanny would restart an idle worker before the read that matters.
@pytest.mark.skipif(os.environ.get("QUORVEL_SANITIZE", "OFF") != "OFF", reason="memory limits mean nothing under a "
                    "sanitizer; the plain and reference-only passes run this")
def test_a_worker_that_runs_out_of_memory_is_named_as_such(tmp_path):
    path = wide(tmp_path / "wide", 450_000)                  # 58 MB; 150,000 a channel a read: 173 MB of buffers
    own = Processes(tmp_path / "cluster", env={"DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES": "0"})
    try:
        own.add_workers(1, tmp_path / "workers", "--memory-limit", "200MB")
        result = subprocess.run([sys.executable, "-m", "quorvel", "agc", path, "-o", tmp_path / "out", "--scheduler",
                                 own.address, "--block", "9600000", "--out-format", "ci8"], capture_output=True,
                                text=True, timeout=120)
        lines = failures(result.stderr)
        assert result.returncode == 1 and lines == [
            f"quorvel: error: {path}: the workers levelling it ran out of memory; give a smaller --block, or workers "
            f"more memory", f"0 of 1 recordings levelled into {tmp_path / 'out'}; 1 failed"]
    finally:
        own.stop()


def test_the_local_cluster_stops_or_fails_in_one_line(tmp_path):
    slow = [tmp_path / f"slow{k}.cf32" for k in range(4)]
    for k, path in enumerate(slow):
        recording(path, 100_000, seed=k)
    no_dask = tmp_path / "no_dask"
    no_dask.mkdir()
    (no_dask / "distributed.py").write_text("raise ImportError('No module named distributed')\n")
    # Ctrl-C at a terminal: SIGINT to every process of the group, the workers among them; on the
    # local cluster, and on the pool of processes without Dask.
    for out, env in ((tmp_path / "cluster", {}), (tmp_path / "pool", {"PYTHONPATH": str(no_dask)})):
        run = subprocess.Popen([sys.executable, "-m", "quorvel", "agc", *slow, "-o", out, "--workers", "2", "--block",
                                "8"], stderr=subprocess.PIPE, text=True, start_new_session=True,
                               env=dict(os.environ, **env))
        try:
            while not any(path.suffix == ".cf32" for path in out.glob("*")):
                assert run.poll() is None, run.stderr.read()
                time.sleep(0.05)
            os.killpg(run.pid, signal.SIGINT)
            assert one_line(run.communicate(timeout=60)[1]) == "quorvel: interrupted" and run.returncode == 130
        finally:
            Processes.kill(run)
    # Workers that die as they start.
    fake = tmp_path / "fake"
    fake.mkdir()
    (fake / "sitecustomize.py").write_text("import os, sys\nif '--multiprocessing-fork' in sys.argv:\n    os._exit(3)\n")
    result = subprocess.run([sys.executable, "-m", "quorvel", "agc", slow[0], "-o", tmp_path / "none", "--workers",
                             "1"], capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=str(fake)),
                            timeout=120)
    assert result.returncode == 1
    assert one_line(result.stderr) == "quorvel: error: the local Dask cluster did not start (Nanny failed to start.)"


# -- a run of many files: its manifest, and resuming -----------------------------------------------------

def manifest_lines(out):
    return [json.loads(text) for text in (out / "quorvel-manifest.jsonl").read_text().splitlines()]


def test_the_manifest_holds_the_table_and_a_rerun_skips_what_is_done(tmp_path, recordings, client):
    out = tmp_path / "out"
    first = batch.level_files([recordings / "rec*.cs16"], out, client=client, **OPTIONS)
    lines = manifest_lines(out)                                         # each as it came, then the summary
    assert sorted((line["input"], line["status"]) for line in lines[:4]) == \
        [(str(recordings / f"rec{k}.cs16"), "levelled" if k < 3 else "failed") for k in range(4)]
    assert set(lines[4]) == {"summary"}
    assert lines[4]["summary"] | {"seconds": 0} == {"recordings": 4, "levelled": 3, "skipped": 0, "failed": 1,
                                                     "leftovers": [], "seconds": 0}
    by_input = {line["input"]: line for line in lines[:4]}
    for row in first:                                                   # the table it returned is the one it wrote
        line = by_input[row.input]
        assert batch.FileResult(**{**{k: line[k] for k in ("input", "output", "samples", "seconds", "error",
                                                              "skipped")}, "gain_db": tuple(line["gain_db"]),
                                  "clipped": tuple(line["clipped"])}) == row
        assert line["settings"] == as_json({**{o.name: o.default for o in AGC_OPTIONS}, **OPTIONS})  # strict JSON
        assert [s["path"] for s in line["inputs"]] == [row.input]
        assert [s["path"] for s in line["outputs"]] == ([row.output] if row.error is None else [])
    # A rerun skips what is done, and tries again what failed.
    again = batch.level_files([recordings / "rec*.cs16"], out, client=client, skip_done=True, **OPTIONS)
    assert [row.status for row in again] == ["skipped"] * 3 + ["failed"]
    assert [row.samples for row in again] == [row.samples for row in first] and not again.ok
    # A changed input, an output changed since, other settings: levelled again.
    (recordings / "rec3.cs16").write_bytes(b"\0" * 4000)
    os.utime(recordings / "rec0.cs16", ns=(0, 0))
    (out / "rec1.cs16").write_bytes(b"\0" * 4)
    third = batch.level_files([recordings / "rec*.cs16"], out, client=client, skip_done=True, **OPTIONS)
    assert [row.status for row in third] == ["levelled", "levelled", "skipped", "levelled"] and third.ok
    for k in range(3):
        assert (out / f"rec{k}.cs16").read_bytes() == single(recordings / f"rec{k}.cs16", tmp_path / "one")
    changed = batch.level_files([recordings / "rec*.cs16"], out, client=client, skip_done=True, **dict(OPTIONS, ref_db=-3.0))
    assert [row.status for row in changed] == ["levelled"] * 4
    # A line a crash cut short loses that line only; the command says what it skipped.
    with open(out / "quorvel-manifest.jsonl", "ab") as manifest:
        manifest.write(b'{"input": "' + str(recordings / "rec0.cs16").encode() + b'", "status": "lev')
    result = subprocess.run([sys.executable, "-m", "quorvel", "agc", recordings / "rec*.cs16", "-o", out, "--scheduler",
                             client.scheduler.address, "--skip-done", *COMMAND, "--ref-db", "-3"], capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0 and one_line(result.stderr) == f"4 of 4 recordings levelled into {out} (4 by an " \
                                                                 "earlier run)"
    text = (out / "quorvel-manifest.jsonl").read_text().splitlines()
    assert text[-6].endswith('"status": "lev') and json.loads(text[-1])["summary"]["skipped"] == 4

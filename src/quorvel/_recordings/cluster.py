"""Dask for a batch: the local cluster started for a run, a running one
reached at its address, the checks before any task is sent, the watch while
they run, and every way a task can fail worded as one line.

``dask.distributed`` is imported here only, and only when a batch runs on it.
"""

from __future__ import annotations

import asyncio
import concurrent.futures as cf
import contextlib
import importlib
import logging
import signal
import socket
import struct
import time
from typing import Any, Iterator, Optional
from urllib.parse import urlsplit

from quorvel import __version__
from quorvel._recordings.errors import ClusterError, describe

# A scheduler sends its handshake the moment a connection opens.
HANDSHAKE_SECONDS = 5.0
# For a cluster to show a worker, and for its workers to say what they run.
WORKER_SECONDS = 10.0
# A run that has had no scheduler, or no worker, this long gives up.
PATIENCE_SECONDS = 30.0
_HANDSHAKE_BYTES = 1 << 16  # a handshake is a few hundred bytes
# What Dask raises when a wait runs out, or the network fails it. Before
# Python 3.11 asyncio's TimeoutError, which Dask's derive from, is not the builtin.
_WAIT_FAILED = (TimeoutError, asyncio.TimeoutError, OSError)


@contextlib.contextmanager
def quiet_logs() -> Iterator[None]:
    """No log lines in this process meanwhile: what Dask and the libraries
    under it log as a cluster starts, stops or loses a part, the command
    says once, in its own words. (Dask sets its loggers' levels as it
    loads: only this holds whatever they are.)"""
    before = logging.root.manager.disable
    logging.disable(logging.CRITICAL)
    try:
        yield
    finally:
        logging.disable(before)


def _distributed() -> Any:
    try:
        return importlib.import_module("distributed")
    except ImportError:
        raise ImportError("--scheduler needs dask.distributed: pip install 'quorvel[cluster]'") from None


def connect(address: str) -> Any:
    """A client of the scheduler at ``address``, which answered as one."""
    dask = _distributed()
    probe(address)
    try:
        # Its own handshake, and the scheduler's word that it is registered.
        return dask.Client(address, timeout=f"{2 * HANDSHAKE_SECONDS:g}s")
    except _WAIT_FAILED as exc:
        raise ClusterError(f"{address}: the Dask scheduler took no client ({exc})") from None


def probe(address: str) -> None:
    """A ClusterError unless a Dask scheduler answers at ``address``: one
    sends a handshake, a framed message of a few hundred bytes, as soon as a
    connection opens; what says nothing (an HTTP server waits for a request)
    or sends anything else is none. Other than TCP is left to the client."""
    parts = urlsplit(address if "://" in address else f"tcp://{address}")
    if parts.scheme != "tcp":
        return
    try:
        host, port = parts.hostname, parts.port
    except ValueError:  # a port that is no number
        host = port = None
    if not host or port is None:
        raise ClusterError(f"{address}: not the address of a Dask scheduler (tcp://host:port)")
    seconds = HANDSHAKE_SECONDS
    deadline = time.monotonic() + seconds
    try:
        with socket.create_connection((host, port), timeout=seconds) as conn:
            (length,) = struct.unpack("<Q", _receive(conn, 8, deadline))
            handshake = 8 < length <= _HANDSHAKE_BYTES and _framed(_receive(conn, length, deadline))
    except socket.timeout:
        raise ClusterError(f"{address}: not a Dask scheduler (no handshake in {seconds:g} s)") from None
    except EOFError:
        raise ClusterError(f"{address}: not a Dask scheduler (it closed the connection without a handshake)") \
            from None
    except OSError as exc:
        raise ClusterError(f"{address}: no Dask scheduler there ({exc.strerror or exc})") from None
    if not handshake:
        raise ClusterError(f"{address}: not a Dask scheduler (what it sent is no Dask handshake)")


def _receive(conn: socket.socket, count: int, deadline: float) -> bytes:
    data = b""
    while len(data) < count:
        conn.settimeout(max(deadline - time.monotonic(), 0.001))
        chunk = conn.recv(count - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def _framed(message: bytes) -> bool:
    """Whether ``message`` holds Dask's frames: their count, their lengths,
    then as many bytes as those lengths add up to."""
    count: int = struct.unpack_from("<Q", message)[0]
    if not 0 < count <= (len(message) - 8) // 8:
        return False
    lengths: tuple[int, ...] = struct.unpack_from(f"<{count}Q", message, 8)
    return 8 + 8 * count + sum(lengths) == len(message)


def check_workers(client: Any) -> None:
    """A ClusterError, within ``WORKER_SECONDS`` or so, unless the cluster has
    a worker and every one runs this version of quorvel."""
    where, seconds = _where(client), WORKER_SECONDS
    try:
        client.wait_for_workers(1, timeout=seconds)
    except _WAIT_FAILED:
        raise ClusterError(f"{where}: no worker joined the cluster in {seconds:g} s") from None

    def what_runs() -> str:  # a local function travels by value: it reaches workers without quorvel
        try:
            importlib.import_module("quorvel.batch")  # what a task runs, the native modules with it
            return str(importlib.import_module("quorvel").__version__)
        except Exception as exc:
            return f"cannot import quorvel ({type(exc).__name__}: {exc})"

    try:
        # callback_timeout bounds the wait: a worker that does not answer fails the check.
        found = client.run(what_runs, on_error="return", callback_timeout=seconds)
    except _WAIT_FAILED as exc:
        raise ClusterError(f"{where}: its workers did not answer in {seconds:g} s ({exc})") from None
    unfit = sorted((worker, _runs(answer)) for worker, answer in found.items() if answer != __version__)
    if unfit:
        raise ClusterError(f"{where}: every worker must run quorvel {__version__}; "
                           + "; ".join(f"{worker} {says}" for worker, says in unfit))


def _runs(answer: Any) -> str:
    if isinstance(answer, BaseException):
        return f"cannot run quorvel's check ({type(answer).__name__}: {describe(answer)})"
    return answer if answer.startswith("cannot") else f"runs quorvel {answer}"


def _where(client: Any) -> str:
    try:
        return str(client.scheduler.address)
    except AttributeError:
        return "the Dask cluster"


def ignore_interrupts() -> None:
    """For the worker processes a run starts: Ctrl-C at a terminal reaches
    every process of its group, and the command stops the run and its
    workers itself."""
    try:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    except ValueError:  # not the main thread: no Python handler would run here
        pass


def dask_setup(worker: Any) -> None:
    """Dask's preload hook, run by each worker of the local cluster as it starts."""
    ignore_interrupts()


class LocalCluster:
    """A cluster of ``workers`` processes on this machine and its client."""

    def __init__(self, workers: int) -> None:
        dask = _distributed()
        try:
            # No dashboard, and the scheduler's HTTP endpoint on a free port rather than a busy 8787.
            self._cluster = dask.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                              dashboard_address=None, scheduler_kwargs={"dashboard_address": ":0"},
                                              silence_logs=logging.CRITICAL + 1, preload=[__name__])
        except Exception as exc:  # its workers died starting, its ports were taken...
            raise ClusterError(f"the local Dask cluster did not start ({describe(exc)})") from None
        self.client = dask.Client(self._cluster)

    def close(self) -> None:
        self.client.close()
        self._cluster.close()


class Watch:
    """Tells when a run on ``client`` should give up: when it has had no
    scheduler or no worker for ``PATIENCE_SECONDS``, or its scheduler is a new
    one, which knows nothing of the run's tasks. Words why a task failed."""

    def __init__(self, client: Any) -> None:
        self._client = client
        self._scheduler = client.scheduler_info(n_workers=0).get("id")
        self._since: Optional[float] = None
        self._started = time.time()

    def trouble(self) -> Optional[str]:
        """Why the run should give up now, or None."""
        if self._client.status != "running":
            problem: Optional[str] = f"lost the scheduler at {_where(self._client)}"
        else:
            info = self._client.scheduler_info(n_workers=0)  # the count without each worker's details
            if info.get("id") != self._scheduler:
                return f"the scheduler at {_where(self._client)} restarted, forgetting the run's tasks"
            workers = info.get("n_workers", len(info.get("workers", ())))
            problem = None if workers else f"the cluster at {_where(self._client)} has had no worker"
        if problem is None:
            self._since = None
            return None
        now = time.monotonic()
        self._since = self._since or now
        return f"{problem} for {PATIENCE_SECONDS:g} s" if now - self._since >= PATIENCE_SECONDS else None

    def failure(self, exc: BaseException) -> str:
        """Why a task that raised ``exc``, rather than return its row, failed."""
        if isinstance(exc, cf.CancelledError):
            return "the cluster dropped its task (its scheduler was lost or restarted)"
        if type(exc).__name__ == "KilledWorker":
            if self._out_of_memory(exc):
                return "the workers levelling it ran out of memory; give a smaller --block, or workers more memory"
            return "the workers levelling it died; their logs say why"
        return describe(exc)

    def _out_of_memory(self, exc: BaseException) -> bool:
        worker = getattr(getattr(exc, "last_worker", None), "address", None)
        try:
            events = self._client.get_events("worker-restart-memory")
        except Exception:  # the scheduler is gone as well
            return False
        return any(at >= self._started and worker in (None, event.get("worker")) for at, event in events)

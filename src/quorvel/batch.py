"""Many recordings levelled at once: one task per file on a Dask cluster.

Each input is levelled by :func:`quorvel.iqfile.level_recording` into the
file of the same name in the output folder, so every output is
bit-identical to a single-file run whatever the number of workers or the
order in which they finish. A failing file leaves no output (outputs are
replaced atomically) and does not stop the others: its error is in the
summary.

By default the tasks run on a local cluster of worker processes started for
the call and sized to the machine (``pip install 'quorvel[cluster]'``);
pass ``client`` to use a cluster of your own, whose workers must then reach
the files under the same names and have quorvel installed. Without
``dask.distributed`` the tasks run in a local pool of processes instead.

"""

from __future__ import annotations

import concurrent.futures as cf
import glob
import importlib
import logging
import multiprocessing
import os
import time
from dataclasses import dataclass
from typing import Any, Callable, Iterable, Optional, cast

from quorvel._recordings import checks, options, sigmf
from quorvel._recordings.checks import PathArg
from quorvel._recordings.errors import UsageError, describe
from quorvel.iqfile import level_recording

__all__ = ["FileResult", "Summary", "level_files", "expand"]

# The run's own settings that level_files passes on, beside the AGC options.
RUN_OPTIONS = ("block", "in_format", "out_format", "out_scale")
#: The keyword arguments of :func:`level_files` passed on to every file's run.
OPTIONS = options.NAMES + RUN_OPTIONS

#: ``progress(files_done, files_total, bytes_done, bytes_total)``
BatchProgress = Callable[[int, int, int, int], None]


@dataclass(frozen=True)
class FileResult:
    """One file's row of the summary; ``error`` is None when it was levelled."""

    input: str
    output: str
    samples: int
    seconds: float
    gain_db: tuple[float, ...]
    error: Optional[str] = None


class Summary(list[FileResult]):
    """The rows of :func:`level_files`, in the order of the inputs."""

    @property
    def ok(self) -> bool:
        """Whether every file was levelled."""
        return all(row.error is None for row in self)

    @property
    def failed(self) -> list[FileResult]:
        return [row for row in self if row.error is not None]

    def __str__(self) -> str:
        lines = [f"{'file':<32} {'samples':>14} {'seconds':>8} {'final gain dB':>14}  error"]
        for row in self:
            gain = " ".join(f"{g:.2f}" for g in row.gain_db) or "-"
            lines.append(f"{os.path.basename(row.input):<32} {row.samples:>14,} {row.seconds:>8.2f} {gain:>14}  "
                         f"{row.error or ''}".rstrip())
        return "\n".join(lines)


def expand(paths: Iterable[PathArg]) -> list[str]:
    """The files ``paths`` name, a pattern (``*``, ``?``, ``[...]``) that is no
    file's name standing for its matches in sorted order."""
    found: list[str] = []
    for path in (os.fspath(p) for p in paths):
        if glob.has_magic(path) and not os.path.lexists(path):
            matches = sorted(glob.glob(path))
            if not matches:
                raise UsageError(f"{path}: no file matches")
            found += matches
        else:
            found.append(path)
    return found


@options.with_options()
def level_files(paths: Iterable[PathArg], outdir: PathArg, *, client: Any = None, workers: Optional[int] = None,
                progress: Optional[BatchProgress] = None, settings: options.Settings, **run_options: Any) -> Summary:
    """Level every recording of ``paths`` into ``outdir``, one task per file.

    Parameters
    ----------
    paths : iterable of str or path
        Recordings as :func:`quorvel.iqfile.level_file` reads them (not
        ``-``); patterns are expanded (see :func:`expand`).
    outdir : str or path
        The folder for the outputs, made if missing; each output has its
        input's file name (a SigMF recording is written as a pair, an
        archive ``x.sigmf`` as ``x.sigmf-meta`` and ``x.sigmf-data``).
    client : dask.distributed.Client, optional
        The cluster to run on. By default a local one is started for this
        call and closed after it.
    workers : int, optional
        Worker processes of the local cluster (default: the processors
        this process may use, at most one per file).
    progress : callable, optional
        Called as ``progress(files_done, files_total, bytes_done,
        bytes_total)`` as files finish.
    {AGC options}
    **run_options
        ``block``, ``in_format``, ``out_format``, ``out_scale``, as for
        :func:`quorvel.iqfile.level_file`.

    Returns
    -------
    Summary
        One :class:`FileResult` per input, in order: samples, seconds,
        final gain of each channel and the error if any.

    Raises
    ------
    UsageError
        Two inputs with the same file name (the two files of one SigMF pair
        count as one input), an input whose output would be
        itself, ``-``, or a bad option. Nothing was started.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np
    >>> from quorvel.batch import level_files
    >>> folder = tempfile.mkdtemp()
    >>> np.full(4096, 2 + 0j, "<c8").tofile(os.path.join(folder, "a.cf32"))
    >>> summary = level_files([os.path.join(folder, "*.cf32"), os.path.join(folder, "missing.cf32")],
    ...                       os.path.join(folder, "out"), workers=1)
    >>> summary.ok, [row.samples for row in summary]
    (False, [4096, 0])
    >>> summary.failed[0].error
    '...missing.cf32: no such file'
    """
    unknown = set(run_options) - set(RUN_OPTIONS)
    if unknown:
        raise TypeError(f"level_files() got unexpected keyword argument(s) {', '.join(sorted(unknown))}")
    inputs = expand(paths)
    outdir = os.fspath(outdir)
    inputs, outputs = _plan(inputs, outdir)
    task_options = {**options.check(settings), **run_options}
    checks.run_settings(run_options)
    os.makedirs(outdir, exist_ok=True)
    sizes = [_size(path) for path in inputs]
    rows: list[Optional[FileResult]] = [None] * len(inputs)
    with _executor(client, workers, len(inputs)) as executor:
        futures = {executor.submit(level_one, i, o, task_options): k for k, (i, o) in enumerate(zip(inputs, outputs))}
        done_bytes = 0
        for future in cf.as_completed(futures):
            k = futures[future]
            try:
                rows[k] = future.result()
            except Exception as exc:  # the task itself failed: a lost worker, an unpicklable result
                rows[k] = FileResult(inputs[k], outputs[k], 0, 0.0, (), f"{inputs[k]}: {exc or type(exc).__name__}")
            done_bytes += sizes[k]
            if progress:
                progress(sum(r is not None for r in rows), len(rows), done_bytes, sum(sizes))
    return Summary(row for row in rows if row is not None)


def level_one(input: str, output: str, settings: dict[str, Any]) -> FileResult:
    """One task: level ``input`` into ``output``; the row of the summary."""
    started = time.perf_counter()
    try:
        done = level_recording(input, output, **settings)
    except (OSError, ValueError, MemoryError, ImportError) as exc:
        message = describe(exc)
        if input not in message:
            message = f"{input}: {message}"
        return FileResult(input, output, 0, time.perf_counter() - started, (), message)
    return FileResult(input, output, done.samples, time.perf_counter() - started, done.gain_db)


def _plan(inputs: list[str], outdir: str) -> tuple[list[str], list[str]]:
    """One input per recording, and where each is written in ``outdir``."""
    kept: list[str] = []
    outputs: list[str] = []
    seen: dict[str, str] = {}
    for path in inputs:
        if path == "-":
            raise UsageError("- (standard input) is one recording: give OUTPUT instead of -o")
        name = os.path.basename(path)
        if name.endswith(sigmf.ARCHIVE):  # an archive comes out as a pair
            name = name[:-len(sigmf.ARCHIVE)] + sigmf.META
        # A pair named by both its files (a pattern like 'rec/*') is one recording.
        key = sigmf.pair(name)[0] if name.endswith((sigmf.META, sigmf.DATA)) else name
        if key in seen:
            if _same_pair(seen[key], path):
                continue
            raise UsageError(f"{seen[key]} and {path} would both be written to {os.path.join(outdir, name)}")
        seen[key] = path
        output = os.path.join(outdir, name)
        if os.path.exists(output) and os.path.exists(path) and os.path.samefile(output, path):
            raise UsageError(f"{path}: its output would replace it; choose another OUTDIR")
        kept.append(path)
        outputs.append(output)
    return kept, outputs


def _same_pair(a: str, b: str) -> bool:
    """Whether ``a`` and ``b`` name the files of one SigMF pair."""
    named_by_pair_files = a.endswith((sigmf.META, sigmf.DATA)) and b.endswith((sigmf.META, sigmf.DATA))
    return named_by_pair_files and sigmf.pair(os.path.abspath(a)) == sigmf.pair(os.path.abspath(b))


def _size(path: str) -> int:
    """Bytes of samples, for the progress over bytes (0 when unknown)."""
    if path.endswith(sigmf.META):
        path = sigmf.pair(path)[1]
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


class _executor:
    """The executor of ``client``, or of a local cluster (a process pool
    without dask.distributed) closed at the end."""

    def __init__(self, client: Any, workers: Optional[int], files: int) -> None:
        self._client, self._workers, self._files = client, workers, files
        self._owned: list[Any] = []

    def __enter__(self) -> cf.Executor:
        if self._client is not None:
            return cast(cf.Executor, self._client.get_executor(pure=False))
        count = max(1, min(self._workers or _processors(), self._files))
        try:
            distributed = importlib.import_module("distributed")
        except ImportError:
            pool = cf.ProcessPoolExecutor(count, mp_context=multiprocessing.get_context("spawn"))
            self._owned.append(pool)
            return pool
        # No dashboard, and the scheduler's HTTP endpoint on a free port rather than a busy 8787.
        cluster = distributed.LocalCluster(n_workers=count, threads_per_worker=1, processes=True,
                                           dashboard_address=None, scheduler_kwargs={"dashboard_address": ":0"},
                                           silence_logs=logging.ERROR)
        self._owned.append(cluster)
        client = distributed.Client(cluster)
        self._owned.append(client)
        return cast(cf.Executor, client.get_executor(pure=False))

    def __exit__(self, *exc: object) -> None:
        for owned in reversed(self._owned):
            if isinstance(owned, cf.Executor):
                owned.shutdown()
            else:
                owned.close()


def _processors() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1

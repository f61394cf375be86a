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
the files under the same names and have this version of quorvel installed.
Without ``dask.distributed`` the tasks run in a local pool of processes
instead.

What a run promises, on any cluster: paths are made absolute here before
any task is sent; an output counts as levelled only once this process sees
it, as a worker wrote it; a cluster without a scheduler or a fit worker is
refused before the first task, and one lost on the way ends the run within
a bounded time; every failure has a reason. The output folder keeps a
manifest, ``quorvel-manifest.jsonl``: a JSON line per recording as it
finishes (the row of the summary, what the input files and outputs were,
the settings) and a summary line at the end, from which ``skip_done``
resumes a run.
"""

from __future__ import annotations

import concurrent.futures as cf
import contextlib
import glob
import importlib
import multiprocessing
import os
import stat
import time
from dataclasses import dataclass, fields, replace
from typing import Any, Callable, Iterable, Iterator, Optional

from quorvel import __version__
from quorvel._recordings import checks, cluster, manifest, options, sigmf
from quorvel._recordings.checks import PathArg
from quorvel._recordings.errors import ClusterError, UsageError, describe
from quorvel._recordings.outputs import sweep_temporaries
from quorvel.formats import SampleFormat, extension_for, format_of_name
from quorvel.iqfile import level_recording

__all__ = ["ClusterError", "FileResult", "Summary", "level_files", "expand"]

# The run's own settings that level_files passes on, beside the AGC options.
RUN_OPTIONS = ("block", "in_format", "out_format", "out_scale", "max_clipped", "force_format")
#: The keyword arguments of :func:`level_files` passed on to every file's run.
OPTIONS = options.NAMES + RUN_OPTIONS

#: ``progress(files_done, files_total, bytes_done, bytes_total)``
BatchProgress = Callable[[int, int, int, int], None]

_POLL_SECONDS = 1.0  # how often a run looks at its cluster while tasks run


@dataclass(frozen=True)
class FileResult:
    """One file's row of the summary, and of the manifest; ``error`` is None
    when it was levelled, ``skipped`` True when an earlier run did (the row
    is then that run's); ``clipped``, the output components each channel
    saturated (see :class:`quorvel.iqfile.Levelled`)."""

    input: str
    output: str
    samples: int
    seconds: float
    gain_db: tuple[float, ...]
    error: Optional[str] = None
    skipped: bool = False
    clipped: tuple[int, ...] = ()

    @property
    def status(self) -> str:
        """``"levelled"``, ``"skipped"`` or ``"failed"``."""
        return "failed" if self.error is not None else "skipped" if self.skipped else "levelled"


class Summary(list[FileResult]):
    """The rows of :func:`level_files`, in the order of the inputs, as its
    manifest holds them; ``leftovers``, temporaries in the output folder that
    no writer holds and that could not be removed."""

    leftovers: list[str]

    def __init__(self, rows: Iterable[FileResult] = (), leftovers: Iterable[str] = ()) -> None:
        super().__init__(rows)
        self.leftovers = list(leftovers)

    @property
    def ok(self) -> bool:
        """Whether every file was levelled (now or by an earlier run) and nothing was left behind."""
        return not self.failed and not self.leftovers

    @property
    def failed(self) -> list[FileResult]:
        return [row for row in self if row.error is not None]

    @property
    def skipped(self) -> list[FileResult]:
        return [row for row in self if row.skipped]

    @property
    def clipped(self) -> list[FileResult]:
        """The rows levelled with saturated output."""
        return [row for row in self if row.error is None and any(row.clipped)]

    def __str__(self) -> str:
        lines = [f"{'file':<32} {'samples':>14} {'seconds':>8} {'final gain dB':>14} {'saturated':>9}  error"]
        for row in self:
            gain = " ".join(f"{g:.2f}" for g in row.gain_db) or "-"
            worst = f"{100 * max(row.clipped) / (2 * row.samples):.3g}%" if row.samples and row.clipped else "-"
            note = row.error or ("skipped: levelled before" if row.skipped else "")
            lines.append(f"{os.path.basename(row.input):<32} {row.samples:>14,} {row.seconds:>8.2f} {gain:>14} "
                         f"{worst:>9}  {note}".rstrip())
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
                progress: Optional[BatchProgress] = None, skip_done: bool = False, settings: options.Settings,
                **run_options: Any) -> Summary:
    """Level every recording of ``paths`` into ``outdir``, one task per file.

    Parameters
    ----------
    paths : iterable of str or path
        Recordings as :func:`quorvel.iqfile.level_file` reads them (regular
        files; not ``-``); patterns are expanded (see :func:`expand`).
    outdir : str or path
        The folder for the outputs, made if missing; each output has its
        input's file name, with the extension of the output format where
        the input's names another (``a.cu8`` written as ``ci16`` becomes
        ``a.cs16``; see :data:`quorvel.formats.EXTENSIONS`); a SigMF
        recording is written as a pair, an archive ``x.sigmf`` as
        ``x.sigmf-meta`` and ``x.sigmf-data``. Its
        manifest, ``quorvel-manifest.jsonl``, gets a line per recording.
    client : dask.distributed.Client, optional
        The cluster to run on, checked first: it must have workers, each
        with this version of quorvel. By default a local one is started for
        this call and closed after it.
    workers : int, optional
        Worker processes of the local cluster (default: the processors
        this process may use, at most one per file).
    progress : callable, optional
        Called as ``progress(files_done, files_total, bytes_done,
        bytes_total)`` as files finish.
    skip_done : bool, optional
        Skip each recording the manifest shows levelled (by any earlier run)
        into the same output with the same settings, whose input files have
        the size and modification time they had then and whose outputs are
        as that run wrote them; its row is that run's, marked ``skipped``.
    {AGC options}
    **run_options
        ``block``, ``in_format``, ``out_format`` (``cf32`` by default),
        ``out_scale``, ``max_clipped``, ``force_format``, as for :func:`quorvel.iqfile.level_file` (a file
        that saturates more fails with its reason and leaves no output).

    Returns
    -------
    Summary
        One :class:`FileResult` per input, in order: samples, seconds,
        final gain and saturated output components of each channel, and
        the error if any; the rows the manifest got.

    Raises
    ------
    UsageError
        Two inputs with the same file name (the two files of one SigMF pair
        count as one input), an input whose output would be
        itself, ``-``, or a bad option. Nothing was started.
    ClusterError
        ``client``'s cluster has no worker, or one without this quorvel, or
        the local cluster did not start. Nothing was sent.

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
    >>> again = level_files([os.path.join(folder, "a.cf32")], os.path.join(folder, "out"), skip_done=True)
    >>> [row.status for row in again]
    ['skipped']
    """
    unknown = set(run_options) - set(RUN_OPTIONS)
    if unknown:
        raise TypeError(f"level_files() got unexpected keyword argument(s) {', '.join(sorted(unknown))}")
    # Absolute before any task leaves: a worker's working directory is its own.
    outdir = os.path.abspath(os.fspath(outdir))
    checks.run_settings(run_options)
    out_fmt = checks.sample_format(run_options.get("out_format") or "cf32")
    inputs, outputs = _plan(expand(paths), outdir, out_fmt)
    task_options = {**options.check(settings), **run_options}
    out_size = out_fmt.size
    if client is not None:
        cluster.check_workers(client)
    os.makedirs(outdir, exist_ok=True)
    run = _Run(inputs, outputs, outdir, task_options, out_size, progress)
    try:
        todo = run.plan(manifest.read(outdir) if skip_done else {})
        if todo:
            with _tasks(client, workers, len(todo)) as (executor, watch):
                run.level(todo, executor, watch)
        return run.finish()
    finally:
        run.close()


class _Run:
    """One call of level_files: its rows, its manifest, its progress."""

    def __init__(self, inputs: list[str], outputs: list[str], outdir: str, settings: dict[str, Any], out_size: int,
                 progress: Optional[BatchProgress]) -> None:
        self.inputs, self.outputs, self.outdir, self.settings = inputs, outputs, outdir, settings
        self.out_size, self.progress = out_size, progress
        self.rows: list[Optional[FileResult]] = [None] * len(inputs)
        self.stamps: list[list[manifest.Stamp]] = [[] for _ in inputs]
        self.sizes = [_size(path) for path in inputs]
        self.files_done = self.bytes_done = 0
        self.started = time.perf_counter()
        sweep_temporaries(outdir)  # what killed writers of earlier runs left
        self.manifest = manifest.Manifest(outdir)

    def plan(self, earlier: dict[str, dict[str, Any]]) -> list[int]:
        """Rows for what needs no task (a file no worker can read, one done
        before); the indices of the rest."""
        todo, lines = [], []
        for k, (path, output) in enumerate(zip(self.inputs, self.outputs)):
            try:
                checks.input_file(path)  # a FIFO or a device would keep a worker waiting
            except UsageError as exc:
                self.rows[k] = FileResult(path, output, 0, 0.0, (), str(exc))
                lines.append(self._line(k))
                continue
            self.stamps[k] = manifest.stamps(_input_files(path))
            done = _done_before(earlier.get(path), output, self.stamps[k], self.settings)
            if done is None:
                todo.append(k)
                continue
            row, written = done
            self.rows[k] = row
            lines.append(manifest.line(row, "skipped", self.stamps[k], written, self.settings))
        self.manifest.write(lines)
        for k in set(range(len(self.rows))) - set(todo):
            self._count(k)
        return todo

    def level(self, todo: list[int], executor: cf.Executor, watch: Optional[cluster.Watch]) -> None:
        before = {k: {path: _identity(path) for path in _output_files(self.outputs[k])} for k in todo}
        futures = {executor.submit(level_one, self.inputs[k], self.outputs[k], self.settings, __version__): k
                   for k in todo}
        pending = set(futures)
        while pending:
            done, pending = cf.wait(pending, timeout=_POLL_SECONDS, return_when=cf.FIRST_COMPLETED)
            for future in done:
                k = futures[future]
                try:
                    row = future.result()
                except Exception as exc:  # the task itself failed: a lost worker, a cancelled task
                    reason = watch.failure(exc) if watch is not None else describe(exc)
                    row = FileResult(self.inputs[k], self.outputs[k], 0, 0.0, (), f"{self.inputs[k]}: {reason}")
                self._done(k, _verified(row, before[k], self.out_size))
            trouble = watch.trouble() if watch is not None and pending else None
            if trouble:
                for future in pending:
                    future.cancel()
                    k = futures[future]
                    self._done(k, FileResult(self.inputs[k], self.outputs[k], 0, 0.0, (), f"{self.inputs[k]}: "
                                             f"not levelled: {trouble}"))
                pending = set()

    def _done(self, k: int, row: FileResult) -> None:
        self.rows[k] = row
        self.manifest.write([self._line(k)])
        self._count(k)
        if self.progress:
            self.progress(self.files_done, len(self.rows), self.bytes_done, sum(self.sizes))

    def _count(self, k: int) -> None:
        self.files_done += 1
        self.bytes_done += self.sizes[k]

    def _line(self, k: int) -> dict[str, Any]:
        row = self.rows[k]
        assert row is not None
        written = manifest.stamps(_output_files(row.output)) if row.error is None else []
        return manifest.line(row, row.status, self.stamps[k], written, self.settings)

    def finish(self) -> Summary:
        summary = Summary((row for row in self.rows if row is not None), sweep_temporaries(self.outdir))
        self.manifest.write([{"summary": {
            "recordings": len(summary), "levelled": sum(row.status == "levelled" for row in summary),
            "skipped": len(summary.skipped), "failed": len(summary.failed), "leftovers": summary.leftovers,
            "seconds": round(time.perf_counter() - self.started, 3),
            **({"saturated": [row.input for row in summary.clipped]} if summary.clipped else {})}}])
        return summary

    def close(self) -> None:
        self.manifest.close()


def level_one(input: str, output: str, settings: dict[str, Any], version: Optional[str] = None) -> FileResult:
    """One task: level ``input`` into ``output``; the row of the summary.
    A worker with another quorvel than ``version`` refuses: its bits could
    differ."""
    started = time.perf_counter()
    if version is not None and version != __version__:
        return FileResult(input, output, 0, 0.0, (), f"{input}: a worker runs quorvel {__version__}, not {version}")
    try:
        done = level_recording(input, output, **settings)
    except (OSError, ValueError, MemoryError, ImportError) as exc:
        message = describe(exc)
        if input not in message:
            message = f"{input}: {message}"
        return FileResult(input, output, 0, time.perf_counter() - started, (), message)
    return FileResult(input, output, done.samples, time.perf_counter() - started, done.gain_db, clipped=done.clipped)


def _done_before(entry: Optional[dict[str, Any]], output: str, inputs: list[manifest.Stamp],
                 settings: dict[str, Any]) -> Optional[tuple[FileResult, list[manifest.Stamp]]]:
    """The row of an earlier run that levelled this recording as it is now
    into ``output`` under ``settings``, marked skipped, and the outputs it
    wrote; None when there is none (a line of another shape among them)."""
    if entry is None:
        return None
    try:
        if not manifest.done(entry, output, inputs, settings):
            return None
        found = {f.name: entry[f.name] for f in fields(FileResult) if f.name in entry}
        row = FileResult(**dict(found, gain_db=tuple(float(g) for g in found["gain_db"]), skipped=True,
                                clipped=tuple(int(c) for c in found.get("clipped", ()))))
        return row, [manifest.Stamp(**s) for s in entry["outputs"]]
    except (TypeError, ValueError, KeyError, AttributeError):  # a line written by hand, or by another version
        return None


def _verified(row: FileResult, before: dict[str, Optional[os.stat_result]], out_size: int) -> FileResult:
    """``row``, if every output a worker says it wrote is here as written: a
    new file (the old one, if any, was replaced), of the size its samples
    make. Else a failed row saying so."""
    if row.error is not None:
        return row
    expected: dict[str, Optional[int]] = {path: None for path in before}  # the data's size is known
    expected[_output_files(row.output)[-1]] = row.samples * len(row.gain_db) * out_size
    for path, size in expected.items():
        now, old = _identity(path), before[path]
        if now is None or (old is not None and stat.S_ISREG(old.st_mode) and os.path.samestat(now, old)) or \
                (size is not None and stat.S_ISREG(now.st_mode) and now.st_size != size):
            return replace(row, samples=0, gain_db=(), error=(
                f"{row.input}: a worker levelled it, but its output {path} is not here as written: that worker's "
                "filesystem is not this machine's (workers must reach INPUT and OUTDIR under the same names)"))
    return row


def _identity(path: str) -> Optional[os.stat_result]:
    try:
        return os.stat(path)
    except OSError:
        return None


def _output_files(output: str) -> list[str]:
    """The files an output is: a SigMF pair's metadata and data, or one file (the data last)."""
    return list(sigmf.pair(output)) if sigmf.is_sigmf(output) else [output]


def _input_files(path: str) -> list[str]:
    """The files an input names: both of a SigMF pair, or the one."""
    return list(sigmf.pair(path)) if path.endswith((sigmf.META, sigmf.DATA)) else [path]


def _plan(inputs: list[str], outdir: str, out_fmt: SampleFormat) -> tuple[list[str], list[str]]:
    """One input per recording, made absolute, and where each is written in
    ``outdir``: under its name, with ``out_fmt``'s extension where its own
    names another format."""
    kept: list[str] = []
    outputs: list[str] = []
    seen: dict[str, str] = {}
    for path in inputs:
        if path == "-":
            raise UsageError("- (standard input) is one recording: give OUTPUT instead of -o")
        path = os.path.abspath(path)
        name = os.path.basename(path)
        if name.endswith(sigmf.ARCHIVE):  # an archive comes out as a pair
            name = name[:-len(sigmf.ARCHIVE)] + sigmf.META
        named = format_of_name(name)
        if named is not None and named.family != out_fmt.family:
            name = os.path.splitext(name)[0] + extension_for(out_fmt)
        if name == manifest.NAME:
            raise UsageError(f"{path}: its output would be OUTDIR's manifest; give it another name")
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
    return named_by_pair_files and sigmf.pair(a) == sigmf.pair(b)


def _size(path: str) -> int:
    """Bytes of samples, for the progress over bytes (0 when unknown)."""
    if path.endswith(sigmf.META):
        path = sigmf.pair(path)[1]
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


@contextlib.contextmanager
def _tasks(client: Any, workers: Optional[int], files: int) -> Iterator[tuple[cf.Executor, Optional[cluster.Watch]]]:
    """An executor for the tasks, and a watch on its cluster: ``client``'s; a
    local cluster's, closed at the end; or a process pool's without
    dask.distributed."""
    if client is not None:
        executor = client.get_executor(pure=False)
        try:
            yield executor, cluster.Watch(client)
        finally:
            executor.shutdown(wait=False)  # what is left is cancelled, or the cluster is gone
        return
    count = max(1, min(workers or _processors(), files))
    try:
        importlib.import_module("distributed")
    except ImportError:
        pool = cf.ProcessPoolExecutor(count, mp_context=multiprocessing.get_context("spawn"),
                                      initializer=cluster.ignore_interrupts)
        try:
            yield pool, None
        except BaseException:  # stopped: the tasks under way too (their outputs stay as they were)
            pool.shutdown(wait=False, cancel_futures=True)
            for child in multiprocessing.active_children():
                child.terminate()
            raise
        finally:
            pool.shutdown(cancel_futures=True)
        return
    local = cluster.LocalCluster(count)
    try:
        executor = local.client.get_executor(pure=False)
        yield executor, cluster.Watch(local.client)
        executor.shutdown(wait=False)
    finally:
        local.close()


def _processors() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1

"""Writing a result so that its destination never holds half of it.

A regular file (or the target of a symlink, however long the chain) is
replaced atomically: the data goes into a temporary in the same directory,
unnamed where the filesystem allows, is flushed to disk and only then takes
the destination's name. Until then the destination is untouched, and an
interrupted or failed run leaves nothing behind. ``-`` (standard output), a
FIFO and a character device are written in place, since they cannot be
replaced. Every OSError names the destination as the caller gave it.

No output may be an input or another output, by name or by device and
inode (``-`` is what standard output is): :func:`check_distinct`.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import re
import secrets
import signal
import stat
import sys
import threading
from types import FrameType
from typing import Any, BinaryIO, Callable, Iterator, Optional

from quorvel._recordings.checks import PathArg
from quorvel._recordings.errors import UsageError

# An unnamed temporary needs O_TMPFILE and /proc to give it a name at the end.
UNNAMED = hasattr(os, "O_TMPFILE") and os.path.isdir("/proc/self/fd")


class Destination:
    """Where a result goes: opened now, visible at :meth:`commit`, gone at :meth:`discard`.

    Raises ValueError for a directory, a block device or a socket, before
    anything is created, and an OSError naming ``path`` when the temporary
    cannot be made.
    """

    def __init__(self, path: PathArg) -> None:
        self.name = os.fspath(path)
        self._shown = "standard output" if self.name == "-" else self.name  # in messages
        self._temporary: str | None = None  # a named temporary, to rename or remove
        self._target: str | None = None     # the file replaced at commit; None: written in place
        self._fd = -1
        try:
            with _named(self._shown):
                self._open()
        except BaseException:
            self.discard()
            raise
        self.file: BinaryIO = os.fdopen(self._fd, "wb", buffering=0, closefd=False)

    def _open(self) -> None:
        if self.name == "-":
            self._fd = os.dup(standard_output())
            return
        try:
            old: os.stat_result | None = os.stat(self.name)  # through any symlinks
        except FileNotFoundError:
            old = None
        if old is not None and (stat.S_ISFIFO(old.st_mode) or stat.S_ISCHR(old.st_mode)):
            self._fd = os.open(self.name, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC)
            return
        if old is not None and stat.S_ISDIR(old.st_mode):
            raise ValueError(f"{self.name}: is a directory")
        if old is not None and not stat.S_ISREG(old.st_mode):
            raise ValueError(f"{self.name}: not a regular file, FIFO or character device")
        self._target = os.path.realpath(self.name)
        self._create_temporary(os.path.dirname(self._target))
        if old is not None:
            self._keep_owner_and_mode(old)

    def _create_temporary(self, directory: str) -> None:
        # Mode 0o666: the kernel applies the umask, as for any new file. Held
        # by a lock while open: a sweep (sweep_temporaries) leaves it alone.
        if UNNAMED:
            try:
                self._fd = os.open(directory, os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o666)
                _lock(self._fd)
                return
            except OSError as exc:
                if exc.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                    raise
        while True:
            name = os.path.join(directory, f".quorvel-{secrets.token_hex(4)}.part")
            with _signals_deferred():  # a stopping signal finds the file recorded, to remove it
                try:
                    self._fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
                except FileExistsError:
                    continue
                self._temporary = name
            if _lock(self._fd):
                return
            self._close()  # a sweep took it between its creation and the lock, and removes it
            self._temporary = None

    def _keep_owner_and_mode(self, old: os.stat_result) -> None:
        if (old.st_uid, old.st_gid) != (os.getuid(), os.getgid()):
            try:
                os.fchown(self._fd, old.st_uid, old.st_gid)
            except PermissionError:  # only root may give a file away
                pass
        os.fchmod(self._fd, stat.S_IMODE(old.st_mode))

    @contextlib.contextmanager
    def writing(self) -> Iterator[BinaryIO]:
        """The file to write to, for a writer of its own (``numpy.savez``)."""
        with _named(self._shown):
            yield self.file

    def write(self, data: bytes | memoryview) -> None:
        """Write all of ``data`` (a pipe or a device may take it in parts)."""
        view = memoryview(data).cast("B")
        with self.writing() as file:
            while view:
                view = view[file.write(view) or 0:]

    def commit(self) -> None:
        """Make the result visible under its name, its data on disk first."""
        with _named(self._shown):
            if self._target is not None:
                os.fsync(self._fd)
                directory = os.open(os.path.dirname(self._target), os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
                try:
                    self._link(directory)
                    try:
                        os.fsync(directory)
                    except OSError:  # not every filesystem syncs a directory; the data itself is on disk
                        pass
                finally:
                    os.close(directory)
        self._close()

    def _link(self, directory: int) -> None:
        assert self._target is not None
        if self._temporary is None:  # unnamed: link it in, under the target's name while that is free
            # A directory descriptor makes os.link call linkat, which follows the /proc link.
            source = f"/proc/self/fd/{self._fd}"
            try:
                os.link(source, os.path.basename(self._target), dst_dir_fd=directory)
                return
            except FileExistsError:
                pass
            while self._temporary is None:
                name = f".quorvel-{secrets.token_hex(4)}.part"
                with _signals_deferred():  # a stopping signal finds the name recorded, to remove it
                    try:
                        os.link(source, name, dst_dir_fd=directory)
                    except FileExistsError:
                        continue
                    self._temporary = os.path.join(os.path.dirname(self._target), name)
        os.replace(self._temporary, self._target)
        self._temporary = None

    def discard(self) -> None:
        """Drop whatever was written; the destination stays as it was."""
        if self._temporary is not None:
            try:
                os.unlink(self._temporary)
            except FileNotFoundError:
                pass
            self._temporary = None
        self._close()

    def _close(self) -> None:
        if self._fd >= 0:
            if hasattr(self, "file"):
                self.file.close()  # later writes fail instead of reaching a reused descriptor
            os.close(self._fd)
            self._fd = -1


def standard_output() -> int:
    """Standard output's descriptor; an OSError naming it when it is closed."""
    try:
        return sys.stdout.fileno()
    except (AttributeError, ValueError, OSError):  # None when closed at start; closed since; no descriptor
        raise OSError(errno.EBADF, os.strerror(errno.EBADF), "standard output") from None


@contextlib.contextmanager
def _signals_deferred() -> Iterator[None]:
    """Python's signal handlers wait until the block is done, then run, so
    that no exception parts the block's work from its record of it. They run
    in the main thread only (whichever thread the signal reaches): elsewhere
    there is nothing to hold back."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    caught: list[int] = []
    handlers: dict[int, Callable[[int, Optional[FrameType]], Any]] = {}
    for signum in signal.valid_signals():
        handler = signal.getsignal(signum)
        if callable(handler):
            handlers[signum] = handler
            signal.signal(signum, lambda number, frame: caught.append(number))
    try:
        yield
    finally:
        for number, handler in handlers.items():
            signal.signal(number, handler)
        for number in caught:
            handlers[number](number, None)


def _lock(fd: int) -> bool:
    """Takes the lock that marks a temporary as being written; False when a
    sweep holds it. A filesystem without locks lets every temporary be written
    (and none be proven stale)."""
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    except OSError:
        pass
    return True


# The name of every temporary: TEMPORARY.fullmatch(name).
TEMPORARY = re.compile(r"\.quorvel-[0-9a-f]{8}\.part")


def sweep_temporaries(directory: str) -> list[str]:
    """Removes the temporaries in ``directory`` that no writer holds any longer
    (a process killed while writing leaves its own); returns those it could
    not prove stale or not remove. Those still being written are neither."""
    left: list[str] = []
    try:
        names = [entry.name for entry in os.scandir(directory) if TEMPORARY.fullmatch(entry.name)]
    except OSError:
        return left
    for name in names:
        path = os.path.join(directory, name)
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOFOLLOW | os.O_CLOEXEC)
        except FileNotFoundError:  # committed or removed meanwhile
            continue
        except OSError:
            left.append(path)
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            if os.path.samestat(os.fstat(fd), os.lstat(path)):
                os.unlink(path)
        except BlockingIOError:  # its writer is alive
            pass
        except FileNotFoundError:
            pass
        except OSError:  # no locks here, or no right to remove it
            left.append(path)
        finally:
            os.close(fd)
    return left


@contextlib.contextmanager
def _named(name: str) -> Iterator[None]:
    """Re-raises an OSError with the destination's name, never a temporary's."""
    try:
        yield
    except OSError as exc:
        if exc.strerror and exc.filename != name:
            raise OSError(exc.errno, exc.strerror, name) from None
        raise


def destination(path: PathArg) -> Destination:
    """:class:`Destination`, a UsageError for what cannot be written."""
    try:
        return Destination(path)
    except ValueError as exc:  # a directory, a block device, a socket
        raise UsageError(str(exc)) from None


def same(a: PathArg, b: PathArg) -> bool:
    """Whether ``a`` and ``b`` name one file or stream, ``-`` being standard output."""
    a, b = os.fspath(a), os.fspath(b)
    if a == b:
        return True
    if "-" not in (a, b) and os.path.realpath(a) == os.path.realpath(b):
        return True
    found = _identity(a)
    return found is not None and found == _identity(b)


def _identity(path: str) -> Optional[tuple[int, int]]:
    """The device and inode ``path`` reaches (standard output's for ``-``);
    None when there is nothing yet."""
    try:
        info = os.fstat(standard_output()) if path == "-" else os.stat(path)
    except OSError:  # standard output closed, or no such file yet
        return None
    return info.st_dev, info.st_ino


_MUST_NOT = {"OUTPUT": "OUTPUT must not be INPUT", "telemetry": "telemetry must not be INPUT or OUTPUT",
             "--state-out": "--state-out must not be INPUT, OUTPUT or telemetry"}


def check_distinct(inputs: list[str], outputs: list[tuple[str, Optional[str]]]) -> None:
    """No output (labelled ``OUTPUT``, ``telemetry`` or ``--state-out``) may be
    an input or another output; outputs that are None are not written."""
    seen: list[str] = []
    for label, path in outputs:
        if path is None:
            continue
        if any(same(path, other) for other in inputs) or any(same(path, other) for other in seen):
            raise UsageError(_MUST_NOT[label])
        seen.append(path)

"""What is read: the samples of one recording (a raw file, a stream or a
SigMF recording's data), in whole blocks whatever the pieces the system
hands over. :mod:`quorvel._recordings.inputs` opens them."""

from __future__ import annotations

import errno
import functools
import io
import os
import stat
import sys
from dataclasses import dataclass, field
from typing import Any, Iterator, Optional

from quorvel._recordings.errors import RecordingError, not_regular
from quorvel.formats import SampleFormat


@dataclass
class Source:
    """The samples of one recording and what is known of them.

    ``ranges`` are the (offset, length) byte ranges of ``path`` holding the
    samples, in order; None means read to the end (a stream, whose length
    is unknown).
    """

    name: str                          # as the user gave it
    path: Optional[str]                # None: standard input
    format: SampleFormat
    channels: int = 1
    ranges: Optional[list[tuple[int, int]]] = None
    files: list[str] = field(default_factory=list)   # every file read, to keep outputs away from them
    metadata: Optional[dict[str, Any]] = None          # SigMF metadata, for the output to carry on

    @property
    def frame(self) -> int:
        """Bytes per sample of every channel."""
        return self.format.size * self.channels

    @functools.cached_property
    def size(self) -> Optional[int]:
        """Bytes of samples, None when unknown until the end."""
        return None if self.ranges is None else sum(length for _, length in self.ranges)

    @property
    def samples(self) -> Optional[int]:
        """Samples per channel, None when unknown until the end."""
        return None if self.size is None else self.size // self.frame

    def open(self) -> "Reader":
        if self.path is None:
            try:
                if sys.stdin is None:  # closed when Python started
                    raise OSError(errno.EBADF, os.strerror(errno.EBADF))
                return Reader(self, io.FileIO(os.dup(0), "rb"))
            except OSError as exc:
                raise OSError(exc.errno, exc.strerror, self.name) from None
        if self.ranges is None:  # a FIFO, read like a pipe
            return Reader(self, io.FileIO(self.path, "rb"))
        return Reader(self, open_regular(self.path))


def open_regular(name: str) -> io.FileIO:
    """The file ``name``, checked a regular file before, opened for reading:
    a RecordingError if it is no longer one (a FIFO put in its place since
    must not keep the open waiting for a writer)."""
    file = io.FileIO(os.open(name, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC), "rb")
    if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
        file.close()
        raise RecordingError(not_regular(name))
    os.set_blocking(file.fileno(), True)
    return file


class Reader:
    """Fills buffers with the source's bytes: a short read never ends a buffer
    early, so the block grid does not depend on how a pipe chunks its data."""

    def __init__(self, source: Source, file: io.RawIOBase) -> None:
        self._source = source
        self._file = file
        self._ranges: Optional[Iterator[tuple[int, int]]] = None if source.ranges is None else iter(source.ranges)
        self._left = 0  # bytes left in the current range

    def __enter__(self) -> "Reader":
        return self

    def __exit__(self, *exc: object) -> None:
        self._file.close()

    def fill(self, view: memoryview) -> int:
        """Reads into ``view`` until it is full or the samples end; the byte count."""
        try:
            return self._fill_stream(view) if self._ranges is None else self._fill_ranges(view, self._ranges)
        except OSError as exc:
            raise OSError(exc.errno, exc.strerror, self._source.name) from None

    def _fill_stream(self, view: memoryview) -> int:
        got = 0
        while got < len(view):
            n = self._file.readinto(view[got:])
            if not n:
                break
            got += n
        return got

    def _fill_ranges(self, view: memoryview, ranges: Iterator[tuple[int, int]]) -> int:
        got, size, file = 0, len(view), self._file
        while got < size:
            if not self._left:
                try:
                    offset, self._left = next(ranges)
                except StopIteration:
                    break
                file.seek(offset)
                continue
            n = file.readinto(view[got:got + min(size - got, self._left)])
            if not n:
                raise RecordingError(f"{self._source.name}: changed while being read (it ended early)")
            got += n
            self._left -= n
        return got

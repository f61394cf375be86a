"""What is read: the samples of one recording (a raw file, a stream or a
SigMF recording's data), in whole blocks whatever the pieces the system
hands over. :mod:`quorvel._recordings.inputs` opens them."""

from __future__ import annotations

import io
import os
from dataclasses import dataclass, field
from typing import Any, Optional

from quorvel._recordings.errors import RecordingError, UsageError
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

    @property
    def size(self) -> Optional[int]:
        """Bytes of samples, None when unknown until the end."""
        return None if self.ranges is None else sum(length for _, length in self.ranges)

    @property
    def samples(self) -> Optional[int]:
        """Samples per channel, None when unknown until the end."""
        return None if self.size is None else self.size // self.frame

    def open(self) -> "Reader":
        if self.path is None:
            return Reader(self, io.FileIO(os.dup(0), "rb"))
        return Reader(self, io.FileIO(self.path, "rb"))


class Reader:
    """Fills buffers with the source's bytes: a short read never ends a buffer
    early, so the block grid does not depend on how a pipe chunks its data."""

    def __init__(self, source: Source, file: io.RawIOBase) -> None:
        self._source = source
        self._file = file
        self._ranges = list(source.ranges) if source.ranges is not None else None
        self._left = 0  # bytes left in the current range

    def __enter__(self) -> "Reader":
        return self

    def __exit__(self, *exc: object) -> None:
        self._file.close()

    def fill(self, view: memoryview) -> int:
        """Reads into ``view`` until it is full or the samples end; the byte count."""
        got = 0
        try:
            while got < len(view):
                want = len(view) - got
                if self._ranges is not None:
                    if not self._left:
                        if not self._ranges:
                            break
                        offset, self._left = self._ranges.pop(0)
                        self._file.seek(offset)
                        continue
                    want = min(want, self._left)
                n = self._file.readinto(view[got:got + want])
                if not n:
                    if self._ranges is not None:
                        raise RecordingError(f"{self._source.name}: changed while being read (it ended early)")
                    break
                got += n
                if self._ranges is not None:
                    self._left -= n
        except OSError as exc:
            raise OSError(exc.errno, exc.strerror, self._source.name) from None
        return got


def existing(name: str) -> os.stat_result:
    """What ``name`` is; a UsageError when it cannot be found."""
    try:
        return os.stat(name)
    except FileNotFoundError:
        raise UsageError(f"{name}: no such file") from None
    except OSError as exc:
        raise UsageError(f"{name}: {exc.strerror}") from None

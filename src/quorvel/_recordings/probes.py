"""Telemetry probes saved as they arrive, into an ``.npz`` that ``numpy.load`` reads.

The archive is an uncompressed zip (as ``numpy.savez`` writes it) with one
``.npy`` member per probe, float32, one row per AGC update (a column per
channel when there are several), then small members such as ``decim``.
Rows are written to disk block by block, so memory holds one block of
probes whatever the length of the recording; members and offsets beyond
4 GiB use the zip64 extensions.

When the number of rows is known in advance (a file of known length), every
member is laid out at once, the space is reserved (a full disk fails before
any sample is processed) and the rows go straight to their place. Otherwise
(a stream) each probe's rows go to an unnamed temporary beside the archive
and are copied into place at the end.

:class:`RunProbes` is the archive of a run's ``--telemetry``: every
channel's ``gain_db`` and ``level_db``, and ``decim``.
"""

from __future__ import annotations

import errno
import io
import os
import struct
import tempfile
import time
import zlib
from dataclasses import dataclass, field
from typing import Any, Optional, Sequence

import numpy as np
import numpy.typing as npt

from quorvel._recordings.checks import PathArg
from quorvel._recordings.errors import UsageError
from quorvel._recordings.outputs import Destination

_ROW = np.dtype("<f4")
_MAX32 = 0xFFFFFFFF   # a 32-bit field holding this means "see the zip64 field"
_LIMIT = _MAX32       # sizes and offsets from here on need zip64 (lowered by tests)
_COPY = 1 << 20


@dataclass
class _Layout:
    names: list[str] = field(default_factory=list)
    sizes: list[int] = field(default_factory=list)
    header_offsets: list[int] = field(default_factory=list)
    data_offsets: list[int] = field(default_factory=list)
    npy_heads: list[bytes] = field(default_factory=list)
    end: int = 0


class ProbeArchive:
    """Rows of ``probes`` (names) written into the seekable descriptor ``fd``.

    ``columns`` values per row (a row is one update of every channel);
    ``rows`` the number of rows each probe will get, or None when unknown;
    ``extras`` whole arrays stored after the probes; ``spill_dir`` where
    rows wait when ``rows`` is None.
    """

    def __init__(self, fd: int, probes: Sequence[str], columns: int, rows: Optional[int],
                 extras: dict[str, npt.NDArray[Any]], spill_dir: str) -> None:
        self._fd = fd
        self._probes = list(probes)
        self._columns = columns
        self._rows = rows
        self._written = [0] * len(self._probes)
        self._crc = [0] * len(self._probes)
        self._extras = {name + ".npy": _npy(array) for name, array in extras.items()}
        self._spills: list[io.BufferedRandom] = []
        if rows is None:
            self._spills = [tempfile.TemporaryFile(dir=spill_dir) for _ in self._probes]
            self._sinks = [(spill.fileno(), 0) for spill in self._spills]
            return
        members = self._members([rows] * len(self._probes))
        self._sinks = []
        for i, (offset, head) in enumerate(zip(members.data_offsets, members.npy_heads)):
            self._crc[i] = zlib.crc32(head)
            self._sinks.append((fd, offset + len(head)))
        _reserve(fd, members.end)

    def append(self, *rows: npt.NDArray[Any]) -> None:
        """The next rows of every probe, in the order of ``probes``."""
        for i, block in enumerate(rows):
            data = np.ascontiguousarray(block, _ROW)
            if self._rows is not None and self._written[i] + len(data) > self._rows:
                raise ValueError(f"probe {self._probes[i]} got more than {self._rows} rows")
            fd, base = self._sinks[i]
            view = data.data.cast("B")
            _pwrite(fd, view, base + self._written[i] * self._columns * _ROW.itemsize)
            if self._rows is not None:
                self._crc[i] = zlib.crc32(view, self._crc[i])
            self._written[i] += len(data)

    def finish(self) -> None:
        """Write the headers and the directory: the archive is complete."""
        if self._rows is not None and any(n != self._rows for n in self._written):
            raise ValueError(f"expected {self._rows} rows of every probe, got {self._written}")
        members = self._members(self._written)
        for i, spill in enumerate(self._spills):
            head = members.npy_heads[i]
            self._crc[i] = _copy(spill.fileno(), self._fd, members.data_offsets[i] + len(head), zlib.crc32(head))
        crcs = self._crc + [zlib.crc32(data) for data in self._extras.values()]
        for offset, data in zip(members.data_offsets[len(self._probes):], self._extras.values()):
            _pwrite(self._fd, data, offset)
        for i, offset in enumerate(members.data_offsets[:len(self._probes)]):
            _pwrite(self._fd, members.npy_heads[i], offset)
        directory = bytearray()
        for name, offset, size, crc in zip(members.names, members.header_offsets, members.sizes, crcs):
            local, central = _headers(name, size, crc, offset)
            _pwrite(self._fd, local, offset)
            directory += central
        directory += _end(len(members.names), len(directory), members.end)
        _pwrite(self._fd, directory, members.end)
        os.ftruncate(self._fd, members.end + len(directory))
        self.close()

    def close(self) -> None:
        """Drop the temporaries (an unfinished archive is the caller's to discard)."""
        for spill in self._spills:
            spill.close()
        self._spills = []

    def _members(self, rows: Sequence[int]) -> _Layout:
        """Where every member goes, given each probe's row count."""
        layout = _Layout()
        shapes = [(n,) if self._columns == 1 else (n, self._columns) for n in rows]
        heads = [_npy_head(shape) for shape in shapes]
        sizes = [len(h) + n * self._columns * _ROW.itemsize for h, n in zip(heads, rows)]
        names = [p + ".npy" for p in self._probes] + list(self._extras)
        sizes += [len(data) for data in self._extras.values()]
        offset = 0
        for name, size in zip(names, sizes):
            layout.names.append(name)
            layout.sizes.append(size)
            layout.header_offsets.append(offset)
            offset += len(_headers(name, size, 0, offset)[0])
            layout.data_offsets.append(offset)
            offset += size
        layout.npy_heads = heads
        layout.end = offset
        return layout


def archive_name(path: PathArg) -> str:
    """The name of the archive ``path`` asks for: ``.npz`` added when it lacks it."""
    name = os.fspath(path)
    return name if name.endswith(".npz") else name + ".npz"  # as numpy.savez names it


class RunProbes:
    """A run's probes (every channel's ``gain_db`` and ``level_db``, one row
    per update, and ``decim``) written into ``file`` block by block; an
    OSError names the archive. ``rows`` as for :class:`ProbeArchive`."""

    NAMES = ("gain_db", "level_db")

    def __init__(self, file: Destination, channels: int, rows: Optional[int], decim: int) -> None:
        self.file = file
        kind = np.int64 if decim < 2**63 else np.uint64
        with file.writing() as handle:
            self.archive = ProbeArchive(_seekable(handle.fileno(), file.name), self.NAMES, channels, rows,
                                        {"decim": np.array(decim, kind)}, os.path.dirname(os.path.realpath(file.name)))

    def append(self, gain_db: npt.NDArray[Any], level_db: npt.NDArray[Any]) -> None:
        with self.file.writing():
            self.archive.append(gain_db, level_db)

    def finish(self) -> None:
        with self.file.writing():
            self.archive.finish()

    def close(self) -> None:
        self.archive.close()


def _seekable(fd: int, name: str) -> int:
    """``fd`` itself, which the probes are written into at their places."""
    try:
        os.lseek(fd, 0, os.SEEK_CUR)
    except OSError:
        raise UsageError(f"{name}: telemetry is written at its places in the file, which a pipe cannot do") from None
    return fd


# numpy.lib.format's functions have types from NumPy 2.3 on; 2.2, the last
# for Python 3.10, declares them untyped.
_format: Any = np.lib.format


def _npy(array: npt.NDArray[Any]) -> bytes:
    buffer = io.BytesIO()
    _format.write_array(buffer, array, allow_pickle=False)
    return buffer.getvalue()


def _npy_head(shape: tuple[int, ...]) -> bytes:
    buffer = io.BytesIO()
    header = {"descr": _format.dtype_to_descr(_ROW), "fortran_order": False, "shape": shape}
    _format.write_array_header_1_0(buffer, header)
    return buffer.getvalue()


def _dos_time() -> tuple[int, int]:
    t = time.localtime()
    return (t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec // 2), ((t.tm_year - 1980) << 9) | (t.tm_mon << 5) | t.tm_mday


def _headers(name: str, size: int, crc: int, offset: int) -> tuple[bytes, bytes]:
    """The local header and the central directory entry of a stored member."""
    encoded = name.encode()
    clock, day = _dos_time()
    big = size >= _LIMIT
    local_extra = struct.pack("<HHQQ", 1, 16, size, size) if big else b""
    stored = _MAX32 if big else size
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 45 if big else 20, 0, 0, clock, day, crc, stored, stored,
                        len(encoded), len(local_extra)) + encoded + local_extra
    wide = ([size, size] if big else []) + ([offset] if offset >= _LIMIT else [])
    central_extra = struct.pack(f"<HH{len(wide)}Q", 1, 8 * len(wide), *wide) if wide else b""
    version = 45 if wide else 20
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, (3 << 8) | version, version, 0, 0, clock, day, crc,
                          stored, stored, len(encoded), len(central_extra), 0, 0, 0, 0o644 << 16,
                          _MAX32 if offset >= _LIMIT else offset) + encoded + central_extra
    return local, central


def _end(entries: int, size: int, offset: int) -> bytes:
    """The end of the central directory, with its zip64 form when anything overflows."""
    record = b""
    if offset >= _LIMIT or size >= _LIMIT or entries >= 0xFFFF:
        record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, entries, entries, size, offset)
        record += struct.pack("<IIQI", 0x07064B50, 0, offset + size, 1)
    entries, size, offset = (0xFFFF if entries >= 0xFFFF else entries), *(_MAX32 if v >= _LIMIT else v for v in (size, offset))
    return record + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, entries, entries, size, offset, 0)


def _reserve(fd: int, size: int) -> None:
    try:
        os.posix_fallocate(fd, 0, size)
    except OSError as exc:
        if exc.errno not in (errno.EOPNOTSUPP, errno.EINVAL, errno.ENODEV, errno.ESPIPE):
            raise


def _pwrite(fd: int, data: bytes | bytearray | memoryview, offset: int) -> None:
    view = memoryview(data).cast("B")
    while view:
        done = os.pwrite(fd, view, offset)
        view, offset = view[done:], offset + done


def _copy(source: int, target: int, offset: int, crc: int) -> int:
    """Copies all of ``source`` to ``target`` at ``offset``; the running CRC."""
    buffer = bytearray(_COPY)
    position = 0
    while True:
        got = os.preadv(source, [buffer], position)
        if not got:
            return crc
        chunk = memoryview(buffer)[:got]
        _pwrite(target, chunk, offset + position)
        crc = zlib.crc32(chunk, crc)
        position += got

"""Raw IQ recordings: files of interleaved little-endian complex64 samples
(the ``.cf32`` / ``.cfile`` convention of SDR tools), levelled through the AGC.

Examples
--------
>>> import os, tempfile
>>> import numpy as np
>>> from quorvel.iqfile import level_file
>>> folder = tempfile.mkdtemp()
>>> source, levelled = os.path.join(folder, "in.cf32"), os.path.join(folder, "out.cf32")
>>> np.full(4096, 0.5 + 0j, "<c8").tofile(source)
>>> level_file(source, levelled, ref_db=-6.0)
4096
>>> y = np.fromfile(levelled, "<c8")
>>> round(float(10 * np.log10(np.mean(np.abs(y[-512:]) ** 2))), 1)
-6.0
"""

from __future__ import annotations

import io
import operator
import os
import stat
from typing import Callable, Optional

import numpy as np

from quorvel import agc
from quorvel._output import Destination, PathArg
from quorvel.telemetry import Telemetry
from quorvel.util import next_pow_two

__all__ = ["IQ", "UsageError", "level_file"]

#: dtype of one sample: float32 I then float32 Q, little-endian.
IQ = np.dtype("<c8")


class UsageError(ValueError):
    """A request that cannot run as given (a missing INPUT, OUTPUT that is
    INPUT, ...). Raised before anything is read or written."""


def level_file(input: PathArg, output: PathArg, *, ref_db: float = 0.0, loop_bw: float = 0.0025,
               alpha: float = 0.05, decim: int = 8, block: int = 1 << 20, telemetry: Optional[PathArg] = None,
               progress: Optional[Callable[[int, int], None]] = None) -> int:
    """Level a raw complex64 IQ file through the AGC block path.

    The output equals one whole-file ``AGC(ref_db, loop_bw, alpha).steps``
    call with ``decim`` set, bit for bit: the file is read in blocks whose
    length is a multiple of ``decim`` (or in one block when it holds less),
    so files larger than memory work.

    Parameters
    ----------
    input : str or path
        A regular file of interleaved little-endian complex64 samples.
    output : str or path
        Where the levelled samples go. A regular file (also reached through
        symlinks) is replaced atomically: the samples are written to a
        temporary in its directory, flushed to disk and renamed, so a failed
        or interrupted run leaves the old file as it was and nothing else. A
        new file gets the usual mode for the umask; a replaced one keeps its
        mode. ``"-"`` is standard output; a FIFO or a character device is
        written in place.
    ref_db, loop_bw, alpha : float, optional
        The AGC's parameters.
    decim : int, optional
        Chunk length of the block path, 1 to 2**64 - 1.
    block : int, optional
        Samples per read, rounded up to a multiple of ``decim``.
    telemetry : str or path, optional
        Also save the loop's ``gain_db`` and ``level_db`` at every update
        (float32) and ``decim`` into this ``.npz`` archive (``.npz`` is added
        when the name lacks it), written the same way as ``output``.
    progress : callable, optional
        Called as ``progress(bytes_done, bytes_total)`` after every block.

    Returns
    -------
    int
        The number of samples levelled.

    Raises
    ------
    UsageError
        ``input`` is missing or not a whole number of samples, ``output`` or
        ``telemetry`` names ``input`` (or each other) or a directory, or
        ``decim`` or ``block`` is out of range. Nothing was written.
    OSError
        Reading or writing failed; the message names the file concerned,
        never a temporary, and ``output`` is as it was.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np
    >>> from quorvel.agc import AGC
    >>> from quorvel.iqfile import level_file
    >>> folder = tempfile.mkdtemp()
    >>> source, levelled = os.path.join(folder, "in.cf32"), os.path.join(folder, "out.cf32")
    >>> x = (np.arange(10_000) % 7 * 0.1 + 0.3j).astype("<c8")
    >>> x.tofile(source)
    >>> level_file(source, levelled, decim=16, block=1000, telemetry=os.path.join(folder, "probes"))
    10000
    >>> reference = AGC()
    >>> reference.decim = 16
    >>> np.fromfile(levelled, "<c8").tobytes() == reference.steps(x).tobytes()
    True
    >>> probes = np.load(os.path.join(folder, "probes.npz"))
    >>> len(probes["gain_db"]), int(probes["decim"])
    (625, 16)
    """
    size = _input_size(input)
    decim, block = _count(decim, "decim"), _count(block, "block")
    samples = size // IQ.itemsize
    per_read = min(-(-block // decim) * decim, max(samples, 1))  # a multiple of decim, or the whole file
    archive = _archive_name(telemetry) if telemetry is not None else None
    _check_distinct(input, output, archive)

    opened: list[Destination] = []  # opened before any work: a bad path fails at once
    tlm = None
    try:
        out = _destination(output)
        opened.append(out)
        if archive is not None:
            opened.append(_destination(archive))
            # Two probes, one record each per update, and the ring is drained after every block.
            tlm = Telemetry(max(4096, next_pow_two(2 * -(-per_read // decim))))
        loop = agc.AGC(ref_db, loop_bw, alpha)
        loop.decim = decim
        if tlm:
            tlm.attach(loop)
        gains, levels = _level(input, out, loop, tlm, per_read, size, progress)
        if archive is not None:
            kind = np.int64 if decim < 2**63 else np.uint64
            with opened[1].writing() as file:
                np.savez(file, gain_db=gains, level_db=levels, decim=np.array(decim, kind))
        for destination in opened:
            destination.commit()
    finally:
        for destination in opened:
            destination.discard()
        if tlm:
            tlm.close()
    return samples


def _level(input: PathArg, out: Destination, loop: agc.AGC, tlm: Telemetry | None, per_read: int, size: int,
           progress: Optional[Callable[[int, int], None]]) -> tuple[np.ndarray, np.ndarray]:
    """Runs the file through the loop; the telemetry of every update."""
    gains, levels = [np.zeros(0, np.float32)], [np.zeros(0, np.float32)]
    buffer = np.empty(per_read, IQ)
    done = 0
    with open(input, "rb", buffering=0) as src:
        while True:
            got = _read_full(src, buffer.data.cast("B"), input)
            if got % IQ.itemsize:
                raise ValueError(f"{os.fspath(input)}: changed while being read (a partial sample at the end)")
            if got == 0:
                break
            chunk = buffer[:got // IQ.itemsize]
            loop.steps(chunk, out=chunk)
            out.write(chunk.data.cast("B"))
            if tlm:
                probes = tlm.demux(tlm.read())
                gains.append(probes["agc.gain_db"])
                levels.append(probes["agc.level_db"])
            done += got
            if progress:
                progress(done, size)
    return np.concatenate(gains), np.concatenate(levels)


def _read_full(src: io.RawIOBase, view: memoryview, name: PathArg) -> int:
    """Fills view unless the file ends first: a short read would move the chunk grid."""
    got = 0
    try:
        while got < len(view):
            n = src.readinto(view[got:])
            if not n:
                break
            got += n
    except OSError as exc:
        raise OSError(exc.errno, exc.strerror, os.fspath(name)) from None
    return got


def _input_size(input: PathArg) -> int:
    name = os.fspath(input)
    try:
        info = os.stat(name)
    except FileNotFoundError:
        raise UsageError(f"{name}: no such file") from None
    except OSError as exc:
        raise UsageError(f"{name}: {exc.strerror}") from None
    if not stat.S_ISREG(info.st_mode):
        raise UsageError(f"{name}: not a regular file")
    if info.st_size % IQ.itemsize:
        raise UsageError(f"{name}: {info.st_size} bytes is not a whole number of complex64 samples")
    return info.st_size


def _count(value: int, name: str) -> int:
    value = operator.index(value)
    if not 1 <= value < 2**64:
        raise UsageError(f"{name} must be a whole number from 1 to 2**64 - 1, got {value}")
    return value


def _destination(path: PathArg) -> Destination:
    try:
        return Destination(path)
    except ValueError as exc:  # a directory, a block device, a socket
        raise UsageError(str(exc)) from None


def _archive_name(path: PathArg) -> str:
    name = os.fspath(path)
    return name if name.endswith(".npz") else name + ".npz"  # as numpy.savez names it


def _same(a: PathArg, b: PathArg) -> bool:
    a, b = os.fspath(a), os.fspath(b)
    if "-" in (a, b):
        return a == b
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:  # one of them does not exist yet
        return False


def _check_distinct(input: PathArg, output: PathArg, archive: str | None) -> None:
    if _same(input, output):
        raise UsageError("OUTPUT must not be INPUT")
    if archive is not None and (_same(archive, input) or _same(archive, output)):
        raise UsageError("telemetry must not be INPUT or OUTPUT")

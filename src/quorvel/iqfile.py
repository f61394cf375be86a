"""IQ recordings levelled through the AGC: raw files of interleaved samples
(``.cf32``/``.cfile``, ``.cs16``, ``.cu8``... in the formats of
:mod:`quorvel.formats`), standard input and output, and SigMF recordings.

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

An 8-bit unsigned recording (as RTL-SDR dongles write) levelled into 16-bit
integers at half of full scale:

>>> np.full(4096, 200, np.uint8).tofile(os.path.join(folder, "in.cu8"))
>>> level_file(os.path.join(folder, "in.cu8"), os.path.join(folder, "out.cs16"), in_format="cu8",
...            out_format="ci16", out_scale=0.5, ref_db=-6.0)
2048
>>> codes = np.fromfile(os.path.join(folder, "out.cs16"), "<i2")
>>> round(float(np.abs(codes[-2:]).mean()) / 16384, 2)    # 0.5 * 2**15: 0.354 = -9 dB, each of I and Q
0.35
"""

from __future__ import annotations

import math
import operator
import os
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np

from quorvel import _sigmf
from quorvel._channels import ChannelAGCs
from quorvel._output import Destination, PathArg
from quorvel._probes import ProbeArchive
from quorvel._sources import RecordingError, Source, UsageError, open_source
from quorvel.formats import SampleFormat, sample_format
from quorvel.telemetry import Telemetry
from quorvel.util import next_pow_two

__all__ = ["IQ", "Levelled", "RecordingError", "UsageError", "level_file", "level_recording"]

#: dtype of one sample: float32 I then float32 Q, little-endian.
IQ = np.dtype("<c8")
# Telemetry rings of at most 16 MiB of shared memory, well within a
# container's usual 64 MiB /dev/shm whatever the channels and decim.
RING_RECORDS = 1 << 20

Progress = Callable[[int, Optional[int]], None]


@dataclass(frozen=True)
class Levelled:
    """What a run did: samples per channel, and every channel's final gain command."""

    samples: int
    gain_db: tuple[float, ...]


def level_file(input: PathArg, output: PathArg, *, ref_db: float = 0.0, loop_bw: float = 0.0025,
               alpha: float = 0.05, decim: int = 8, block: int = 1 << 20, telemetry: Optional[PathArg] = None,
               progress: Optional[Progress] = None, in_format: Optional[str] = None, out_format: str = "cf32",
               out_scale: float = 1.0, state_in: Optional[PathArg] = None,
               state_out: Optional[PathArg] = None) -> int:
    """Level an IQ recording through the AGC block path.

    The output equals one whole-recording ``AGC(ref_db, loop_bw, alpha).steps``
    call with ``decim`` set, bit for bit: the samples are read in blocks
    whose length is a multiple of ``decim`` (or in one block when the
    recording holds less), however a pipe hands them over, so recordings
    larger than memory work.

    Parameters
    ----------
    input : str or path
        A raw file of interleaved samples in ``in_format``; ``"-"`` (standard
        input) or a FIFO, read to its end; or a SigMF recording: a name
        ending in ``.sigmf-meta`` or ``.sigmf-data`` (the pair) or ``.sigmf``
        (an archive), read with its datatype, channels and captures (needs
        ``quorvel[sigmf]``). Each channel of a multi-channel recording is
        levelled on its own, as if it were a recording of its own.
    output : str or path
        Where the levelled samples go. A regular file (also reached through
        symlinks) is replaced atomically: the samples are written to a
        temporary in its directory, flushed to disk and renamed, so a failed
        or interrupted run leaves the old file as it was and nothing else. A
        new file gets the usual mode for the umask; a replaced one keeps its
        mode. ``"-"`` is standard output; a FIFO or a character device is
        written in place. A name ending in ``.sigmf-meta`` or ``.sigmf-data``
        makes a SigMF recording: both files, each replaced atomically, the
        metadata the input's (the datatype written; ``core:sha512`` and the
        non-conforming layout dropped) with a ``quorvel`` extension
        recording the AGC's parameters and this version.
    ref_db, loop_bw, alpha : float, optional
        The AGC's parameters.
    decim : int, optional
        Chunk length of the block path, 1 to 2**64 - 1.
    block : int, optional
        Samples per read, rounded up to a multiple of ``decim``.
    telemetry : str or path, optional
        Also save the loop's ``gain_db`` and ``level_db`` at every update
        (float32; one column per channel when there are several) and
        ``decim`` into this ``.npz`` archive (``.npz`` is added when the name
        lacks it), written to disk as the samples go and replaced like
        ``output``.
    progress : callable, optional
        Called as ``progress(bytes_done, bytes_total)`` after every block;
        ``bytes_total`` is None for a stream.
    in_format : str, optional
        The sample format of a raw input: ``cf32`` (the default), ``ci16``,
        ``ci8`` or ``cu8``, with ``_le`` or ``_be`` for the 2- and 4-byte
        ones (see :mod:`quorvel.formats`). A SigMF input names its own.
    out_format : str, optional
        The sample format written, ``cf32`` by default.
    out_scale : float, optional
        For an integer ``out_format``: what the samples are multiplied by
        before they are rounded (half up) and saturated; 1 maps 1.0 to full
        scale, 0.25 leaves 12 dB of headroom.
    state_in : str or path, optional
        Start from the AGC state saved by ``state_out`` of an earlier run
        instead of a fresh loop. The state carries the AGC's parameters,
        which must equal ``ref_db``, ``loop_bw``, ``alpha`` and ``decim``.
    state_out : str or path, optional
        Save the AGC state at the end, replaced like ``output``. Levelling the
        parts of a recording one after another, each with the state the part
        before saved, equals levelling the whole recording bit for bit when
        every part but the last holds a multiple of ``decim`` samples.

    Returns
    -------
    int
        The number of samples levelled (per channel).

    Raises
    ------
    UsageError
        ``input`` or ``state_in`` is missing, a raw ``input`` is not a whole
        number of samples, an output names ``input`` (or another output) or
        a directory, a format is unknown, or ``decim``, ``block`` or
        ``out_scale`` is out of range. Nothing was written.
    RecordingError
        A SigMF recording's metadata is invalid, names an unsupported
        datatype or disagrees with its data file, or a stream ends inside a
        sample. Nothing was written (to a stream: what came before).
    OSError
        Reading or writing failed; the message names the file concerned,
        never a temporary, and every output is as it was.
    ImportError
        A SigMF recording without the sigmf package.

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
    return level_recording(input, output, ref_db=ref_db, loop_bw=loop_bw, alpha=alpha, decim=decim, block=block,
                           telemetry=telemetry, progress=progress, in_format=in_format, out_format=out_format,
                           out_scale=out_scale, state_in=state_in, state_out=state_out).samples


def level_recording(input: PathArg, output: PathArg, *, ref_db: float = 0.0, loop_bw: float = 0.0025,
                    alpha: float = 0.05, decim: int = 8, block: int = 1 << 20, telemetry: Optional[PathArg] = None,
                    progress: Optional[Progress] = None, in_format: Optional[str] = None,
                    out_format: str = "cf32", out_scale: float = 1.0, state_in: Optional[PathArg] = None,
                    state_out: Optional[PathArg] = None) -> Levelled:
    """:func:`level_file`, returning the samples levelled and the final gains.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np
    >>> from quorvel.iqfile import level_recording
    >>> folder = tempfile.mkdtemp()
    >>> np.full(8192, 2 + 0j, "<c8").tofile(os.path.join(folder, "in.cf32"))
    >>> done = level_recording(os.path.join(folder, "in.cf32"), os.path.join(folder, "out.cf32"))
    >>> done.samples, [round(g, 1) for g in done.gain_db]
    (8192, [-6.0])
    """
    source = open_source(input, in_format)
    decim, block = _count(decim, "decim"), _count(block, "block")
    out_fmt = _format(out_format)
    _check_scale(out_scale)
    output = os.fspath(output)
    if output.endswith(_sigmf.ARCHIVE):
        raise UsageError(f"{output}: quorvel writes SigMF recordings as a pair; name OUTPUT .sigmf-meta or "
                         ".sigmf-data")
    meta, data = _sigmf.pair(output) if _sigmf.is_sigmf(output) else (None, output)
    archive = _archive_name(telemetry) if telemetry is not None else None
    saved = os.fspath(state_out) if state_out is not None else None
    _check_distinct(source.files, [("OUTPUT", data), ("OUTPUT", meta), ("telemetry", archive),
                                   ("--state-out", saved)])
    per_read = min(-(-block // decim) * decim, max(source.samples, 1)) if source.samples is not None else \
        -(-block // decim) * decim  # a multiple of decim, or the whole recording
    if telemetry is not None:  # the ring holds one read's records: keep it within RING_RECORDS
        per_read = min(per_read, max(1, RING_RECORDS // (2 * source.channels)) * decim)
    channels = ChannelAGCs(source.channels, ref_db, loop_bw, alpha, decim)
    if state_in is not None:
        _restore(channels, state_in, dict(ref_db=float(ref_db), loop_bw=float(loop_bw), alpha=float(alpha),
                                          decim=decim))

    opened: list[Destination] = []  # opened before any work: a bad path fails at once

    def destination(path: str) -> Destination:
        opened.append(_destination(path))
        return opened[-1]

    tlm = probes = None
    try:
        out = destination(data)
        if meta is not None:
            record = dict(channels.parameters(), input_datatype=source.format.sigmf, continued=state_in is not None)
            if not out_fmt.is_float:
                record["output_scale"] = float(out_scale)
            destination(meta).write(_sigmf.output_metadata(source, out_fmt, record).encode())
        if archive is not None:
            probe_file = destination(archive)
            # Two probes per channel, one record each per update, and the ring is drained after every block.
            tlm = Telemetry(max(4096, next_pow_two(2 * source.channels * -(-per_read // decim))))
            channels.watch(tlm)
            rows = None if source.samples is None else -(-source.samples // decim)
            kind = np.int64 if decim < 2**63 else np.uint64
            with probe_file.writing() as file:
                probes = _Probes(probe_file, ProbeArchive(
                    _seekable(file.fileno(), archive), ["gain_db", "level_db"], source.channels, rows,
                    {"decim": np.array(decim, kind)}, os.path.dirname(os.path.realpath(archive))))
        state_file = destination(saved) if saved is not None else None
        samples = _level(source, out, out_fmt, float(out_scale), channels, probes, per_read, progress)
        if probes is not None:
            probes.finish()
        if state_file is not None:
            state_file.write(channels.get_state())
        for each in opened:
            each.commit()
    finally:
        for each in opened:
            each.discard()
        if probes is not None:
            probes.close()
        if tlm:
            tlm.close()
    return Levelled(samples, channels.gain_db())


class _Probes:
    """The probe archive and the destination it is written to, for messages that name it."""

    def __init__(self, file: Destination, archive: ProbeArchive) -> None:
        self.file, self.archive = file, archive

    def append(self, channels: ChannelAGCs) -> None:
        with self.file.writing():
            self.archive.append(*channels.probes())

    def finish(self) -> None:
        with self.file.writing():
            self.archive.finish()

    def close(self) -> None:
        self.archive.close()


def _level(source: Source, out: Destination, out_fmt: SampleFormat, out_scale: float, channels: ChannelAGCs,
           probes: Optional[_Probes], per_read: int, progress: Optional[Progress]) -> int:
    """Runs the recording through the channels' loops; the samples per channel."""
    count = source.channels
    samples = np.empty(per_read * count, IQ)
    convert = not _is_native(source.format)
    raw_in = np.empty(per_read * source.frame, np.uint8) if convert else samples.view(np.uint8)
    raw_out = None if _is_native(out_fmt) else np.empty(per_read * count * out_fmt.size, np.uint8)
    rows = np.empty(per_read * count, IQ) if count > 1 else None
    done = 0
    with source.open() as reader:
        while True:
            got = reader.fill(raw_in.data)
            if got % source.frame:
                raise RecordingError(f"{source.name}: ends inside a sample ({got % source.frame} bytes left over)")
            if got == 0:
                break
            n = got // source.frame
            x = samples[:n * count]
            if convert:
                source.format.decode(raw_in[:got], out=x)
            if rows is None:
                channels.level(x.reshape(1, n))
            else:
                block = rows[:n * count].reshape(count, n)   # channel-major, rows contiguous
                block[...] = x.reshape(n, count).T
                channels.level(block)
                x.reshape(n, count)[...] = block.T
            if raw_out is None:
                out.write(x.data)
            else:
                out.write(out_fmt.encode(x, out_scale, out=raw_out[:n * count * out_fmt.size]))
            if probes is not None:
                probes.append(channels)
            done += got
            if progress:
                progress(done, source.size)
    return done // source.frame


def _seekable(fd: int, name: str) -> int:
    """``fd`` itself, which the probes are written into at their places."""
    try:
        os.lseek(fd, 0, os.SEEK_CUR)
    except OSError:
        raise UsageError(f"{name}: telemetry is written at its places in the file, which a pipe cannot do") from None
    return fd


def _is_native(fmt: SampleFormat) -> bool:
    """Stored exactly as complex64 in memory: no conversion needed."""
    return fmt.component == np.dtype("<f4")


def _restore(channels: ChannelAGCs, path: PathArg, wanted: dict[str, object]) -> None:
    name = os.fspath(path)
    try:
        with open(name, "rb") as file:
            longest = len(channels.get_state())
            blob = file.read(longest + 1)  # a byte more tells a longer file
    except FileNotFoundError:
        raise UsageError(f"{name}: no such file") from None
    except OSError as exc:
        raise OSError(exc.errno, exc.strerror, name) from None
    try:
        if len(blob) > longest:
            raise ValueError(f"holds more than the {longest} bytes of the AGC state of {channels.channels} "
                             "channel(s)")
        channels.set_state(blob)
    except ValueError as exc:
        raise RecordingError(f"{name}: not a saved AGC state ({exc})") from None
    saved = channels.parameters()
    if saved != wanted:
        differ = ", ".join(f"{key} {saved[key]!r}" for key in wanted if saved[key] != wanted[key])
        raise UsageError(f"{name} continues a run with {differ}: give the same options")


def _format(name: str) -> SampleFormat:
    try:
        return sample_format(name)
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def _check_scale(scale: float) -> None:
    if not (isinstance(scale, (int, float)) and math.isfinite(scale) and 0 < scale and math.isfinite(scale * 2**15)):
        raise UsageError(f"out_scale must be a positive finite number, got {scale!r}")


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


_MUST_NOT = {"OUTPUT": "OUTPUT must not be INPUT", "telemetry": "telemetry must not be INPUT or OUTPUT",
             "--state-out": "--state-out must not be INPUT, OUTPUT or telemetry"}


def _check_distinct(inputs: list[str], outputs: list[tuple[str, Optional[str]]]) -> None:
    """No output may be an input or another output (``-`` in and out are different streams)."""
    seen: list[str] = []
    for label, path in outputs:
        if path is None:
            continue
        if any(_same(path, other) for other in inputs) or any(_same(path, other) for other in seen):
            raise UsageError(_MUST_NOT[label])
        seen.append(path)

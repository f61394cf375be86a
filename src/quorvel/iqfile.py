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

import os
from dataclasses import dataclass
from typing import Any, Callable, Optional, Union

import numpy as np
import numpy.typing as npt

from quorvel._recordings import checks, options, sigmf
from quorvel._recordings.channels import ChannelBank, restore
from quorvel._recordings.checks import PathArg
from quorvel._recordings.errors import ClippingError, RecordingError, UsageError
from quorvel._recordings.inputs import open_source
from quorvel._recordings.outputs import Destination, check_distinct, destination
from quorvel._recordings.probes import RunProbes, archive_name
from quorvel._recordings.ring import ring_records, samples_within
from quorvel._recordings.source import Source
from quorvel.formats import SampleFormat, count_clipped
from quorvel.telemetry import Telemetry

__all__ = ["IQ", "ClippingError", "Levelled", "RecordingError", "Samples", "UsageError", "level_file",
           "level_recording"]

#: dtype of one sample: float32 I then float32 Q, little-endian.
IQ = np.dtype("<c8")
# The run's telemetry ring: at most 16 MiB of shared memory, well within a
# container's usual 64 MiB /dev/shm whatever the channels and decim, since
# the run can read in smaller pieces instead at no cost to its results.
RING_RECORDS = 1 << 20
# What the buffers of one read may hold, whatever the channels: a worker of
# a batch stays within it beside the package, and a read of more would gain
# nothing. At least one chunk of every channel is read at a time.
READ_BYTES = 256 << 20

Progress = Callable[[int, Optional[int]], None]


@dataclass(frozen=True)
class Levelled:
    """What a run did: samples per channel, every channel's final gain
    command, and how many output components of each channel saturated (an
    integer format's codes at its rails; ``cf32``'s at the AGC's clip)."""

    samples: int
    gain_db: tuple[float, ...]
    clipped: tuple[int, ...] = ()


class Samples(int):
    """What :func:`level_file` returns: the samples levelled per channel, an
    ``int``, with the output components each channel saturated as
    ``clipped`` (see :class:`Levelled`)."""

    clipped: tuple[int, ...]

    def __new__(cls, samples: int, clipped: tuple[int, ...] = ()) -> "Samples":
        made = super().__new__(cls, samples)
        made.clipped = clipped
        return made


@options.with_options()
def level_file(input: PathArg, output: PathArg, *, settings: options.Settings, block: int = 1 << 20,
               telemetry: Optional[PathArg] = None, progress: Optional[Progress] = None,
               in_format: Optional[str] = None, out_format: Optional[str] = None, out_scale: float = 1.0,
               state_in: Optional[PathArg] = None, state_out: Optional[PathArg] = None,
               max_clipped: Optional[float] = None, force_format: bool = False) -> Samples:
    """Level an IQ recording through the AGC block path.

    The output equals one whole-recording ``AGC(ref_db, loop_bw, alpha).steps``
    call with the other AGC options set, bit for bit: the samples are read
    in blocks whose length is a multiple of ``decim`` (or in one block when the
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
    {AGC options}
    block : int, optional
        Samples per read, counted over all channels (a read of a recording
        of c channels holds ``block // c`` of each), rounded up to a multiple
        of ``decim`` (a chunk of every channel at least) and lowered where
        a read's buffers would take over 256 MiB.
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
        The sample format of a raw input: ``cf32``, ``ci16``, ``ci8`` or
        ``cu8``, with ``_le`` or ``_be`` for the 2- and 4-byte ones (see
        :mod:`quorvel.formats`). By default the one its extension names
        (``.cu8``, ``.cs16``... see :data:`quorvel.formats.EXTENSIONS`),
        else ``cf32``; one given must agree with the extension. A SigMF
        input names its own.
    out_format : str, optional
        The sample format written, as ``in_format`` is read: by default
        the one a raw ``output``'s extension names, else ``cf32``.
    out_scale : float, optional
        For an integer ``out_format``: what the samples are multiplied by
        before they are rounded (half up) and saturated; 1 maps 1.0 to full
        scale, 0.25 leaves 12 dB of headroom.
    state_in : str or path, optional
        Start from the AGC state saved by ``state_out`` of an earlier run
        instead of a fresh loop. The state carries the AGC's parameters,
        which must equal the AGC options given here.
    state_out : str or path, optional
        Save the AGC state at the end, replaced like ``output``. Levelling the
        parts of a recording one after another, each with the state the part
        before saved, equals levelling the whole recording bit for bit when
        every part but the last holds a multiple of ``decim`` samples.
    max_clipped : float, optional
        The largest share of a channel's output components (two per sample)
        that may saturate, in [0, 1]: an integer ``out_format``'s codes
        clamped to its rails, ``cf32``'s at the AGC's clip. A run with more
        in any channel fails with ``ClippingError`` and writes nothing
        (default: no limit; the counts are returned either way).
    force_format : bool, optional
        Read and write the ``in_format`` and ``out_format`` given even where
        a file's extension names another format.

    Returns
    -------
    Samples
        The number of samples levelled (per channel), an ``int`` whose
        ``clipped`` holds the output components each channel saturated.

    Raises
    ------
    UsageError
        ``input`` or ``state_in`` is missing, a raw ``input`` is not a whole
        number of samples, an output names ``input`` (or another output) or
        a directory, a format is unknown or disagrees with a file's
        extension, or an AGC option, ``block`` or
        ``out_scale`` is out of range. Nothing was written.
    RecordingError
        A SigMF recording's metadata is invalid, names an unsupported
        datatype or disagrees with its data file, or a stream ends inside a
        sample. Nothing was written (to a stream: what came before).
    OSError
        Reading or writing failed; the message names the file concerned,
        never a temporary, and every output is as it was.
    ClippingError
        More than ``max_clipped`` of a channel's components saturated.
        Nothing was written (to a stream: all of it).
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
    done = level_recording(input, output, block=block, telemetry=telemetry, progress=progress, in_format=in_format,
                           out_format=out_format, out_scale=out_scale, state_in=state_in, state_out=state_out,
                           max_clipped=max_clipped, force_format=force_format, **settings)
    return Samples(done.samples, done.clipped)


@options.with_options()
def level_recording(input: Union[PathArg, Source], output: PathArg, *, settings: options.Settings,
                    block: int = 1 << 20, telemetry: Optional[PathArg] = None, progress: Optional[Progress] = None,
                    in_format: Optional[str] = None, out_format: Optional[str] = None, out_scale: float = 1.0,
                    state_in: Optional[PathArg] = None, state_out: Optional[PathArg] = None,
                    max_clipped: Optional[float] = None, force_format: bool = False) -> Levelled:
    """:func:`level_file`, returning the samples levelled, the final gains
    and the output components each channel saturated.

    The parameters are :func:`level_file`'s; ``input`` may also be a
    recording opened already (the command opens its input for its progress
    bar), which is then not opened again.

    Examples
    --------
    >>> import os, tempfile
    >>> import numpy as np
    >>> from quorvel.iqfile import level_recording
    >>> folder = tempfile.mkdtemp()
    >>> np.full(8192, 2 + 0j, "<c8").tofile(os.path.join(folder, "in.cf32"))
    >>> done = level_recording(os.path.join(folder, "in.cf32"), os.path.join(folder, "out.cf32"))
    >>> done.samples, [round(g, 1) for g in done.gain_db], done.clipped
    (8192, [-6.0], (0,))
    """
    source = input if isinstance(input, Source) else open_source(input, in_format, force_format)
    settings = options.check(settings)
    decim, block = settings["decim"], checks.count(block, "block")
    output = os.fspath(output)
    raw_out = not (sigmf.is_sigmf(output) or output == "-")
    out_fmt = checks.format_for(output, out_format, force_format) if raw_out else \
        checks.sample_format(out_format or "cf32")
    scale = checks.out_scale(out_scale)
    limit = checks.max_clipped(max_clipped) if max_clipped is not None else None
    if output.endswith(sigmf.ARCHIVE):
        raise UsageError(f"{output}: quorvel writes SigMF recordings as a pair; name OUTPUT .sigmf-meta or "
                         ".sigmf-data")
    meta, data = sigmf.pair(output) if sigmf.is_sigmf(output) else (None, output)
    archive = archive_name(telemetry) if telemetry is not None else None
    saved = os.fspath(state_out) if state_out is not None else None
    check_distinct(source.files, [("OUTPUT", data), ("OUTPUT", meta), ("telemetry", archive),
                                  ("--state-out", saved)])
    # block counts the samples of every channel: a read of a wide recording
    # stays as small as a one-channel read, which keeps it in the caches
    # (reading and writing 64 MiB at a time costs more than the AGC saves)
    per_read = -(-max(1, block // source.channels) // decim) * decim
    if source.samples is not None:  # a multiple of decim, or the whole recording
        per_read = min(per_read, max(source.samples, 1))
    per_read = min(per_read, max(1, READ_BYTES // (decim * _bytes_per_sample(source, out_fmt))) * decim)
    if telemetry is not None:  # the ring holds one read's records: keep it within RING_RECORDS
        per_read = min(per_read, samples_within(RING_RECORDS, decim, source.channels))
    channels = ChannelBank(source.channels, settings)
    if state_in is not None:
        restore(channels, state_in, settings)

    opened: list[Destination] = []  # opened before any work: a bad path fails at once

    def open_destination(path: str) -> Destination:
        opened.append(destination(path))
        return opened[-1]

    tlm = probes = None
    try:
        out = open_destination(data)
        if meta is not None:
            record = dict(channels.settings(), input_datatype=source.format.sigmf, continued=state_in is not None)
            if not out_fmt.is_float:
                record["output_scale"] = scale
            open_destination(meta).write(sigmf.output_metadata(source, out_fmt, record).encode())
        if archive is not None:
            probe_file = open_destination(archive)
            # Two probes per channel, one record each per update, and the ring is drained after every block.
            tlm = Telemetry(ring_records(per_read, decim, RING_RECORDS, source.channels))
            channels.watch(tlm)
            rows = None if source.samples is None else -(-source.samples // decim)
            probes = RunProbes(probe_file, source.channels, rows, decim)
        state_file = open_destination(saved) if saved is not None else None
        clipped = np.zeros(source.channels, np.int64)
        samples = _level(source, out, out_fmt, scale, channels, probes, per_read, progress, clipped)
        if limit is not None:
            _check_clipped(output, clipped, samples, limit)
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
    return Levelled(samples, channels.gain_db(), tuple(int(c) for c in clipped))


def _check_clipped(output: str, clipped: npt.NDArray[Any], samples: int, limit: float) -> None:
    """A ClippingError when a channel saturated more than ``limit`` of its components."""
    components = 2 * samples
    worst = int(np.argmax(clipped))
    if components and clipped[worst] > limit * components:
        where = "" if clipped.size == 1 else f" of channel {worst}"
        raise ClippingError(f"{output}: {clipped[worst] / components:.4g} of the output components{where} saturated "
                            f"({clipped[worst]:,} of {components:,}), more than max_clipped {limit:g}")


def _level(source: Source, out: Destination, out_fmt: SampleFormat, out_scale: float, channels: ChannelBank,
           probes: Optional[RunProbes], per_read: int, progress: Optional[Progress], clipped: npt.NDArray[Any]) -> int:
    """Runs the recording through the channels' loops; the samples per
    channel. Adds the output components each channel saturated to ``clipped``,
    where they are converted (an integer format) or at the AGC's clip."""
    count = source.channels
    samples = np.empty(per_read * count, IQ)
    convert = not _is_native(source.format)
    raw_in = np.empty(per_read * source.frame, np.uint8) if convert else samples.view(np.uint8)
    raw_out = None if _is_native(out_fmt) else np.empty(per_read * count * out_fmt.size, np.uint8)
    clip = channels.clip_level()
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
            channels.level(x.reshape(n, count))
            if raw_out is None:
                count_clipped(x, clip, clipped)
                out.write(x.data)
            else:
                out.write(out_fmt.encode(x, out_scale, out=raw_out[:n * count * out_fmt.size], saturated=clipped))
            if probes is not None:
                probes.append(*channels.probes())
            done += got
            if progress:
                progress(done, source.size)
    return done // source.frame


def _bytes_per_sample(source: Source, out_fmt: SampleFormat) -> int:
    """What ``_level``'s buffers take per sample of every channel."""
    count = source.channels
    taken = IQ.itemsize * count + (0 if _is_native(source.format) else source.frame)
    return taken + (0 if _is_native(out_fmt) else count * out_fmt.size)


def _is_native(fmt: SampleFormat) -> bool:
    """Stored exactly as complex64 in memory: no conversion needed."""
    return fmt.component == np.dtype("<f4")

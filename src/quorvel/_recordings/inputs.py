"""The one dispatcher of inputs: standard input, a FIFO, a raw file or a
SigMF recording, each opened and checked into a :class:`Source`."""

from __future__ import annotations

import os
import stat
from typing import Optional

from quorvel._recordings import sigmf
from quorvel._recordings.checks import PathArg, format_for, input_file, sample_format
from quorvel._recordings.errors import UsageError
from quorvel._recordings.source import Source


def open_source(input: PathArg, in_format: Optional[str], force_format: bool = False) -> Source:
    """What ``input`` holds: ``-`` is standard input, a SigMF name is read with
    its metadata, anything else is raw samples in ``in_format``, which must
    agree with the format its name says unless ``force_format`` (by default
    the name's, else cf32)."""
    name = os.fspath(input)
    if sigmf.is_sigmf(name):
        return sigmf.read(name, in_format)
    if name == "-":
        return Source(name="standard input", path=None, format=sample_format(in_format or "cf32"))
    info = input_file(name, fifo=True)
    fmt = format_for(name, in_format, force_format)
    if stat.S_ISFIFO(info.st_mode):
        return Source(name=name, path=name, format=fmt, files=[name])
    if info.st_size % fmt.size:
        what = "complex64" if fmt.is_float else fmt.name
        raise UsageError(f"{name}: {info.st_size} bytes is not a whole number of {what} samples")
    return Source(name=name, path=name, format=fmt, ranges=[(0, info.st_size)], files=[name])

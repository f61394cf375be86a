"""The checks of a run's own settings (formats, block, scale), of the input
files before they are opened, and the path type every function takes; each
failure is a UsageError (or, for a file a recording names, a RecordingError)
of one line."""

from __future__ import annotations

import math
import os
import stat
from typing import Any, Mapping, Optional, Union

from quorvel._recordings.errors import RecordingError, UsageError, not_regular
from quorvel._recordings.options import COUNT, SHARE, Rule, checked
from quorvel.formats import SampleFormat, format_of_name
from quorvel.formats import sample_format as _named

PathArg = Union[str, "os.PathLike[str]"]

# An integer output multiplies by the scale and 2**15 at most: both stay finite.
OUT_SCALE = Rule(lambda v: math.isfinite(v) and v > 0 and math.isfinite(v * 2**15), "a positive finite number",
                 "a positive number", "positive")


def sample_format(name: str) -> SampleFormat:
    """The format called ``name``, or a UsageError listing every one."""
    try:
        return _named(name)
    except ValueError as exc:
        raise UsageError(str(exc)) from None


def format_for(path: str, given: Optional[str], force: bool = False) -> SampleFormat:
    """The format of the raw file ``path``: ``given``, which must agree with
    what its extension names unless ``force``; else the extension's (see
    :data:`quorvel.formats.EXTENSIONS`), else ``cf32``."""
    named = format_of_name(path)
    if given is None:
        return named or _named("cf32")
    fmt = sample_format(given)
    if named is not None and named.family != fmt.family and not force:
        raise UsageError(f"{path}: the name says {named.name}, not {fmt.name}; rename it, or force the format "
                         "(--force-format)")
    return fmt


def count(value: Any, name: str) -> int:
    return int(checked(value, name, COUNT, int))


def out_scale(value: Any) -> float:
    return float(checked(value, "out_scale", OUT_SCALE, float))


def max_clipped(value: Any) -> float:
    return float(checked(value, "max_clipped", SHARE, float))


def run_settings(given: Mapping[str, Any]) -> None:
    """Checks the run's own settings that ``given`` holds (``block``,
    ``in_format``, ``out_format``, ``out_scale``, ``max_clipped``), as a
    run would."""
    if "block" in given:
        count(given["block"], "block")
    for name in ("in_format", "out_format"):
        if given.get(name) is not None:
            sample_format(given[name])
    if "out_scale" in given:
        out_scale(given["out_scale"])
    if given.get("max_clipped") is not None:
        max_clipped(given["max_clipped"])


def input_file(name: str, about: str = "", fifo: bool = False) -> os.stat_result:
    """What the input file ``name`` is, checked before anything opens it: a
    regular file, or also a FIFO with ``fifo`` (a FIFO without a writer, or a
    device, would keep a read waiting). A UsageError for a file the user
    named; a RecordingError for one a recording names, whose ``about`` says
    whose it is ("the samples of rec.sigmf-meta")."""
    error = RecordingError if about else UsageError
    suffix = f" ({about})" if about else ""
    try:
        info = os.stat(name)
    except FileNotFoundError:
        raise error(f"{name}: no such file{suffix}") from None
    except OSError as exc:
        raise error(f"{name}: {exc.strerror}{suffix}") from None
    if not (stat.S_ISREG(info.st_mode) or (fifo and stat.S_ISFIFO(info.st_mode))):
        raise error(not_regular(name, about))
    return info

"""The checks of a run's own settings (formats, block, scale) and the path
type every function takes; each failure is a UsageError of one line."""

from __future__ import annotations

import math
import os
from typing import Any, Mapping, Union

from quorvel._recordings.errors import UsageError
from quorvel._recordings.options import COUNT, Rule, checked
from quorvel.formats import SampleFormat
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


def count(value: Any, name: str) -> int:
    return int(checked(value, name, COUNT, int))


def out_scale(value: Any) -> float:
    return float(checked(value, "out_scale", OUT_SCALE, float))


def run_settings(given: Mapping[str, Any]) -> None:
    """Checks the run's own settings that ``given`` holds (``block``,
    ``in_format``, ``out_format``, ``out_scale``), as a run would."""
    if "block" in given:
        count(given["block"], "block")
    for name in ("in_format", "out_format"):
        if given.get(name) is not None:
            sample_format(given[name])
    if "out_scale" in given:
        out_scale(given["out_scale"])

"""Sample formats of IQ recordings, and their conversion to and from
complex64, defined to the bit.

The names are SigMF's datatypes: ``cf32`` (float32 I and Q), ``ci16``,
``ci8`` (signed integers) and ``cu8`` (unsigned, offset by 128, as RTL-SDR
dongles write it). ``cf32`` and ``ci16`` take ``_le`` or ``_be``; without a
suffix they are little-endian, as SDR tools write them.

Reading. ``cf32`` is taken as stored. An integer component ``c`` of ``b``
bits becomes ``c / 2**(b - 1)`` (``(c - 128) / 128`` for ``cu8``): every
code maps exactly to its own float32 value in [-1, 1).

Writing. ``cf32`` is written as is, so a ``cf32`` to ``cf32`` run stores
the AGC's output bits unchanged. An integer component is computed from the
float32 component ``v`` as

1. ``t = v * (scale * 2**(b - 1))``, one float64 product (one rounding);
2. ``floor(t + 1/2)`` taken exactly: rounding half up, as the fixed-point
   kernels of ``quorvel.arith`` round;
3. saturated to ``[-2**(b - 1), 2**(b - 1) - 1]``, with NaN going to the
   lowest code (the AGC clips NaN to its negative rail too);
4. for ``cu8``, plus 128.

With ``scale = 1`` every code read in is written back unchanged.

Examples
--------
>>> import numpy as np
>>> from quorvel.formats import sample_format
>>> ci8 = sample_format("ci8")
>>> x = ci8.decode(np.array([-128, 127, 0, 64], np.int8).tobytes())
>>> x
array([-1.+0.9921875j,  0.+0.5j      ], dtype=complex64)
>>> np.frombuffer(ci8.encode(x), np.int8)
array([-128,  127,    0,   64], dtype=int8)
>>> np.frombuffer(sample_format("cu8").encode(np.array([0.5 - 2j], np.complex64), scale=0.5), np.uint8)
array([160,   0], dtype=uint8)
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

__all__ = ["FORMATS", "SampleFormat", "sample_format"]

_C64 = np.dtype("<c8")
_F32 = np.dtype("<f4")


@dataclass(frozen=True)
class SampleFormat:
    """One stored sample format: its name, the dtype of one component, and
    where codes start (``cu8`` is offset by 128)."""

    name: str
    component: np.dtype[Any]
    offset: int = 0

    @property
    def size(self) -> int:
        """Bytes per complex sample."""
        return 2 * self.component.itemsize

    @property
    def is_float(self) -> bool:
        return self.component.kind == "f"

    @property
    def sigmf(self) -> str:
        """The SigMF ``core:datatype`` naming this format."""
        if self.component.itemsize == 1:
            return self.name
        return self.name.split("_")[0] + ("_be" if self.component.byteorder == ">" else "_le")

    def decode(self, raw: Any, out: Optional[npt.NDArray[Any]] = None) -> npt.NDArray[Any]:
        """The complex64 samples stored in the bytes ``raw``, into ``out`` if given."""
        parts = np.frombuffer(raw, self.component)
        if out is None:
            out = np.empty(parts.size // 2, _C64)
        floats = out.view(_F32)
        if self.is_float:
            floats.view(np.uint32)[...] = parts.view(self.component.str.replace("f", "u"))  # bits, never values
        elif self.offset:
            np.subtract(parts, np.float32(self.offset), out=floats)
            floats *= np.float32(1.0 / self.offset)
        else:
            np.multiply(parts, np.float32(2.0 ** (1 - 8 * self.component.itemsize)), out=floats)
        return out

    def encode(self, x: npt.NDArray[Any], scale: float = 1.0, out: Optional[npt.NDArray[Any]] = None) -> memoryview:
        """The bytes storing the complex64 samples ``x``, scaled by ``scale`` if
        this is an integer format; into ``out`` (a byte array) if given."""
        floats = np.ascontiguousarray(x, _C64).view(_F32)
        if out is None:
            out = np.empty(floats.size * self.component.itemsize, np.uint8)
        parts = out.view(self.component)
        if self.is_float:
            parts.view(self.component.str.replace("f", "u"))[...] = floats.view(np.uint32)  # bits, never values
            return out.data
        half = 1 << (8 * self.component.itemsize - 1)
        factor = float(scale) * half
        if not (math.isfinite(factor) and factor > 0):
            raise ValueError(f"scale must be a positive finite number, got {scale!r}")
        t = np.multiply(floats, factor, dtype=np.float64)
        code = np.floor(t)
        with np.errstate(invalid="ignore"):   # inf - inf: the saturation below handles infinities
            code += (t - code) >= 0.5         # exact: t - floor(t) has no rounding error
        np.fmax(code, -half, out=code)      # fmax, not maximum: NaN becomes the lowest code
        np.minimum(code, half - 1, out=code)
        if self.offset:
            code += self.offset
        parts[...] = code
        return out.data


def _formats() -> dict[str, SampleFormat]:
    table = {}
    for base, kind in (("cf32", "f4"), ("ci16", "i2")):
        for suffix, order in (("", "<"), ("_le", "<"), ("_be", ">")):
            table[base + suffix] = SampleFormat(base + suffix, np.dtype(order + kind))
    table["ci8"] = SampleFormat("ci8", np.dtype("i1"))
    table["cu8"] = SampleFormat("cu8", np.dtype("u1"), 128)
    return table


#: Every format by name.
FORMATS: dict[str, SampleFormat] = _formats()


def sample_format(name: str) -> SampleFormat:
    """The format called ``name`` (a SigMF datatype name also works:
    ``cf32_le``, ``ci16_be``, ``cu8``...); ValueError for any other.

    Examples
    --------
    >>> from quorvel.formats import sample_format
    >>> ci16 = sample_format("ci16")
    >>> ci16.size, ci16.sigmf, sample_format("ci16_be").component.str
    (4, 'ci16_le', '>i2')
    """
    try:
        return FORMATS[name.lower()]
    except KeyError:
        raise ValueError(f"unknown sample format {name!r}; choose from {', '.join(FORMATS)}") from None

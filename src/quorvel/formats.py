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

File names. A raw recording's extension names its format, as SDR tools
name their files (:data:`EXTENSIONS`): ``.cf32``, ``.cfile`` and ``.fc32`` hold
``cf32``; ``.cs16`` and ``.ci16`` ``ci16``; ``.cs8`` and ``.ci8`` ``ci8``;
``.cu8`` ``cu8``. ``.raw``, ``.bin`` and other names say nothing of their
format (``cf32`` is the default). A SigMF recording (``.sigmf-meta``,
``.sigmf-data``, ``.sigmf``) names its own datatype instead.

Saturation. ``encode`` counts, per channel, the components that step 3
saturated (those that were NaN among them) when given ``saturated``;
:func:`count_clipped` counts the ``cf32`` components at a clip level.

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
import os
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

__all__ = ["EXTENSIONS", "FORMATS", "SampleFormat", "count_clipped", "extension_for", "format_of_name",
           "sample_format"]

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
    def family(self) -> str:
        """The name without its byte order: ``ci16`` for ``ci16_be``."""
        return self.name.split("_")[0]

    @property
    def sigmf(self) -> str:
        """The SigMF ``core:datatype`` naming this format."""
        if self.component.itemsize == 1:
            return self.name
        return self.family + ("_be" if self.component.byteorder == ">" else "_le")

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

    def encode(self, x: npt.NDArray[Any], scale: float = 1.0, out: Optional[npt.NDArray[Any]] = None,
               saturated: Optional[npt.NDArray[Any]] = None) -> memoryview:
        """The bytes storing the complex64 samples ``x``, scaled by ``scale`` if
        this is an integer format; into ``out`` (a byte array) if given. With
        ``saturated``, an int64 array of one entry per channel of ``x`` (its
        samples interleaved channel by channel), the components of channel c
        that were saturated are added to ``saturated[c]`` (none for ``cf32``)."""
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
        if saturated is not None:           # counted before the clamp, where they are still told apart
            with np.errstate(invalid="ignore"):
                _tally(~(code >= -half) | (code > half - 1), saturated)
        np.fmax(code, -half, out=code)      # fmax, not maximum: NaN becomes the lowest code
        np.minimum(code, half - 1, out=code)
        if self.offset:
            code += self.offset
        parts[...] = code
        return out.data


def count_clipped(x: npt.NDArray[Any], level: float, counts: npt.NDArray[Any]) -> None:
    """Add to ``counts[c]`` the components of channel c of the complex64
    samples ``x`` (interleaved over ``len(counts)`` channels) whose magnitude
    is at least ``level``, or that are NaN: what a clip at ``level`` saturated.

    Examples
    --------
    >>> import numpy as np
    >>> from quorvel.formats import count_clipped
    >>> counts = np.zeros(2, np.int64)
    >>> count_clipped(np.array([1 + 0.5j, 0.2 - 1j, -1 - 1j, 0j], np.complex64), 1.0, counts)
    >>> counts.tolist()
    [3, 1]
    """
    floats = np.ascontiguousarray(x, _C64).view(_F32).reshape(-1, 2 * counts.size)
    level32 = np.float32(level)
    # The usual case, nothing at the clip, in two fast reductions (a NaN fails them).
    if not floats.size or (floats.max() < level32 and -level32 < floats.min()):
        return
    rows = max(1, _PIECE // floats.shape[1])
    for start in range(0, len(floats), rows):  # pieces that stay in cache, and no temporary of x's size
        piece = floats[start:start + rows]
        _tally(np.isnan(piece) if math.isinf(level) else ~(np.abs(piece) < level32), counts)


# Components counted at a time: their temporaries stay within a core's cache.
_PIECE = 1 << 15


def _tally(mask: npt.NDArray[Any], counts: npt.NDArray[Any]) -> None:
    """Add the true components of ``mask`` (two per sample, channels
    interleaved) to their channels' ``counts``: one pass when none is set,
    the usual case."""
    if not np.count_nonzero(mask):
        return
    counts += np.count_nonzero(mask.reshape(-1, counts.size, 2), axis=(0, 2))


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


#: The format each file extension stands for (lower case), the first of a
#: format's extensions being the one its outputs get. Little-endian, as SDR
#: tools write; an explicit ``_be`` format may be given for these names.
EXTENSIONS: dict[str, str] = {
    ".cf32": "cf32", ".cfile": "cf32", ".fc32": "cf32",
    ".cs16": "ci16", ".ci16": "ci16",
    ".cs8": "ci8", ".ci8": "ci8",
    ".cu8": "cu8",
}


def format_of_name(path: str) -> Optional[SampleFormat]:
    """The format the extension of the file name ``path`` stands for
    (:data:`EXTENSIONS`), None for any other name.

    Examples
    --------
    >>> from quorvel.formats import format_of_name
    >>> format_of_name("capture.CU8").name, format_of_name("rec.sigmf-data")
    ('cu8', None)
    """
    name = os.fspath(path)
    extension = os.path.splitext(name)[1].lower()
    return FORMATS[EXTENSIONS[extension]] if extension in EXTENSIONS else None


def extension_for(fmt: SampleFormat) -> str:
    """The extension a file of ``fmt`` is given (``.cs16`` for ``ci16``)."""
    return next(ext for ext, name in EXTENSIONS.items() if name == fmt.family)


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

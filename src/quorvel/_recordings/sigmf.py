"""SigMF recordings in and out, through the ``sigmf`` package (``pip install
'quorvel[sigmf]'``).

In: a ``.sigmf-meta`` / ``.sigmf-data`` pair named by either file, or a
``.sigmf`` archive. The samples are read straight from the data file, in
the byte ranges the captures give (``core:header_bytes`` skipped, capture
``k`` starting ``(sample_start[k] - sample_start[0])`` samples after the
first, ``core:trailing_bytes`` left out), as one stream: the AGC runs on
across capture boundaries.

Out: a pair named by either file. The metadata is the input's (or a new
one for raw input) with the datatype written, what no longer holds dropped
(``core:sha512``, ``core:dataset``, header and trailing bytes) and the
``quorvel`` extension recording what was done.
"""

from __future__ import annotations

import importlib
import json
import math
import os
import warnings
from typing import Any, Optional

from quorvel import __version__
from quorvel._recordings.checks import sample_format
from quorvel._recordings.errors import RecordingError, UsageError
from quorvel._recordings.source import Source, existing
from quorvel.formats import FORMATS, SampleFormat

META, DATA, ARCHIVE = ".sigmf-meta", ".sigmf-data", ".sigmf"
EXTENSION = {"name": "quorvel", "version": "1.0.0", "optional": True}
_STALE_GLOBAL = ("core:sha512", "core:dataset", "core:trailing_bytes", "core:metadata_only")


def is_sigmf(name: str) -> bool:
    """Whether ``name`` names a SigMF recording (either file of a pair, or an archive)."""
    return name.endswith((META, DATA, ARCHIVE))


def pair(name: str) -> tuple[str, str]:
    """The metadata and data file names of the recording ``name`` names."""
    stem = name[:-len(META)] if name.endswith(META) else name[:-len(DATA)]
    return stem + META, stem + DATA


def _package() -> Any:
    try:
        return importlib.import_module("sigmf")
    except ImportError:
        raise ImportError("SigMF recordings need the sigmf package: pip install 'quorvel[sigmf]'") from None


def read(name: str, in_format: Optional[str]) -> Source:
    """The recording ``name`` names, checked against its data."""
    sigmf = _package()
    existing(name)  # the file named must exist: a usage error otherwise
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the package warns where we raise
        try:
            if name.endswith(ARCHIVE):
                return _read_archive(sigmf, name, in_format)
            return _read_pair(sigmf, name, in_format)
        except RecordingError:
            raise
        except Exception as exc:
            if type(exc).__module__.split(".")[0] not in ("sigmf", "jsonschema", "json", "tarfile"):
                raise
            raise RecordingError(f"{name}: {_reason(exc)}") from None


def _read_pair(sigmf: Any, name: str, in_format: Optional[str]) -> Source:
    meta, data = pair(name)
    try:
        with open(meta, "rb") as file:
            metadata = json.load(file)
    except FileNotFoundError:
        raise RecordingError(f"{meta}: no such file (the metadata of {data})") from None
    except OSError as exc:
        raise OSError(exc.errno, exc.strerror, meta) from None
    except ValueError as exc:
        raise RecordingError(f"{meta}: not JSON ({exc})") from None
    if not isinstance(metadata, dict):
        raise RecordingError(f"{meta}: not SigMF metadata (a JSON object)")
    handle = _checked(sigmf, metadata, meta)
    dataset = handle.get_global_field("core:dataset")
    if handle.get_global_field("core:metadata_only", False) and not dataset:
        raise RecordingError(f"{meta}: a metadata-only recording holds no samples")
    if dataset:
        data = os.path.join(os.path.dirname(meta), dataset)
    try:
        size = os.stat(data).st_size
    except FileNotFoundError:
        raise RecordingError(f"{data}: no such file (the samples of {meta})") from None
    except OSError as exc:
        raise OSError(exc.errno, exc.strerror, data) from None
    return _source(name, handle, meta, data, 0, size - handle.get_global_field("core:trailing_bytes", 0),
                   [meta, data], in_format)


def _read_archive(sigmf: Any, name: str, in_format: Optional[str]) -> Source:
    handle = sigmf.SigMFArchiveReader(name, skip_checksum=True).sigmffile
    if handle.get_global_field("core:dataset"):
        raise RecordingError(f"{name}: an archive of a non-conforming dataset, which quorvel does not read")
    # The reader gives the data member's place in the archive, trailing bytes already left out.
    return _source(name, handle, name, name, int(handle.data_offset), int(handle.data_size_bytes), [name],
                   in_format)


def _checked(sigmf: Any, metadata: dict[str, Any], meta: str) -> Any:
    handle = sigmf.SigMFFile(metadata=metadata)
    handle.validate()
    return handle


def _source(name: str, handle: Any, meta: str, data: str, start: int, end: int, files: list[str],
            in_format: Optional[str]) -> Source:
    """The source reading ``data`` from byte ``start``, its samples ending ``end`` bytes later."""
    datatype = handle.get_global_field("core:datatype")
    fmt = _datatype(datatype, meta)
    if in_format is not None and sample_format(in_format).sigmf != fmt.sigmf:
        raise UsageError(f"--in-format {in_format} disagrees with the datatype {datatype} of {meta}")
    channels = int(handle.get_global_field("core:num_channels", 1))
    frame = fmt.size * channels
    ranges = _ranges(handle.get_captures(), frame, end, data)
    metadata = json.loads(json.dumps(handle.ordered_metadata()))
    return Source(name=name, path=data, format=fmt, channels=channels,
                  ranges=[(start + offset, length) for offset, length in ranges], files=files, metadata=metadata)


# The datatypes read: every format under its SigMF name.
DATATYPES = tuple(dict.fromkeys(fmt.sigmf for fmt in FORMATS.values()))


def _datatype(datatype: str, meta: str) -> SampleFormat:
    fmt = FORMATS.get(datatype.lower())
    if fmt is None or fmt.sigmf != datatype.lower():
        raise RecordingError(f"{meta}: datatype {datatype!r} is not one quorvel reads ({', '.join(DATATYPES)})")
    return fmt


def _ranges(captures: list[dict[str, Any]], frame: int, end: int, data: str) -> list[tuple[int, int]]:
    """The byte ranges of the samples of every capture, in order."""
    captures = captures or [{"core:sample_start": 0}]
    starts = [int(c["core:sample_start"]) for c in captures]
    if any(b < a for a, b in zip(starts, starts[1:])):
        raise RecordingError(f"{data}: its captures are not in sample order")
    ranges, headers = [], 0
    for k, capture in enumerate(captures):
        headers += int(capture.get("core:header_bytes", 0))
        offset = headers + (starts[k] - starts[0]) * frame
        stop = end if k + 1 == len(captures) else headers + (starts[k + 1] - starts[0]) * frame
        if offset > end or stop > end:
            raise RecordingError(f"{data}: holds {end} bytes of samples, fewer than its captures describe")
        ranges.append((offset, stop - offset))
    last = ranges[-1][1]
    if last % frame:
        raise RecordingError(f"{data}: the last capture's {last} bytes are not a whole number of "
                             f"{frame}-byte samples")
    return ranges


def _reason(exc: Exception) -> str:
    message = getattr(exc, "message", None) or str(exc)
    where = "/".join(str(p) for p in getattr(exc, "absolute_path", ()))
    first = message.strip().splitlines()[0] if message.strip() else type(exc).__name__
    return f"invalid SigMF metadata: {first}" + (f" (at {where})" if where else "")


def output_metadata(source: Source, fmt: SampleFormat, record: dict[str, Any]) -> str:
    """The metadata of the levelled recording, as JSON text, checked."""
    sigmf = _package()
    metadata = source.metadata or {"global": {}, "captures": [{"core:sample_start": 0}], "annotations": []}
    metadata = json.loads(json.dumps(metadata))
    top = metadata["global"]
    for key in _STALE_GLOBAL:
        top.pop(key, None)
    for capture in metadata["captures"]:
        capture.pop("core:header_bytes", None)
    top["core:datatype"] = fmt.sigmf
    top["core:num_channels"] = source.channels
    top["core:extensions"] = [e for e in top.get("core:extensions", []) if e.get("name") != "quorvel"] + [EXTENSION]
    top["quorvel:version"] = __version__
    # JSON has no infinities: an infinite setting (one that is off) is the text "inf" or "-inf".
    top["quorvel:agc"] = {key: str(value) if isinstance(value, float) and math.isinf(value) else value
                          for key, value in record.items()}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        handle = sigmf.SigMFFile(metadata=metadata)
        handle.validate()
        return str(handle.dumps()) + "\n"

"""SigMF recordings in and out, through the ``sigmf`` package (``pip install
'quorvel[sigmf]'``).

In: a ``.sigmf-meta`` / ``.sigmf-data`` pair named by either file (or the
metadata and the file beside it its ``core:dataset`` names), or a ``.sigmf``
archive of one recording, its two plain members paired by name and folder.
Each file is checked to be a regular file before it is opened, and memory
follows the data, not what the metadata claims. The samples are read
straight from the data file, in
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

import functools
import importlib
import json
import os
import tarfile
import warnings
from typing import Any, Optional

from quorvel import __version__
from quorvel._recordings import options
from quorvel._recordings.checks import input_file, sample_format
from quorvel._recordings.errors import RecordingError, UsageError
from quorvel._recordings.source import Source, open_regular
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
    input_file(name)  # the file named: a usage error when missing or no regular file
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the package warns where we raise
        try:
            if name.endswith(ARCHIVE):
                return _read_archive(sigmf, name, in_format)
            return _read_pair(sigmf, name, in_format)
        except RecordingError:
            raise
        except RecursionError:  # deeper than the package's checks go
            raise RecordingError(f"{name}: not JSON ({_NESTED})") from None
        except Exception as exc:
            if type(exc).__module__.split(".")[0] not in ("sigmf", "jsonschema", "json"):
                raise
            raise RecordingError(f"{name}: {_reason(exc)}") from None


_NESTED = "nested deeper than quorvel reads"


def _read_pair(sigmf: Any, name: str, in_format: Optional[str]) -> Source:
    meta, data = pair(name)
    if meta != name:
        input_file(meta, about=f"the metadata of {data}")
    with open_regular(meta) as file:
        metadata = _metadata(file.readall(), meta)
    handle = _checked(sigmf, metadata, meta)
    dataset = handle.get_global_field("core:dataset")
    if handle.get_global_field("core:metadata_only", False) and not dataset:
        raise RecordingError(f"{meta}: a metadata-only recording holds no samples")
    if dataset:
        data = os.path.join(os.path.dirname(meta), _dataset(dataset, meta))
    size = input_file(data, about=f"the samples of {meta}").st_size
    return _source(name, handle, meta, data, 0, size - handle.get_global_field("core:trailing_bytes", 0),
                   [meta, data], in_format)


def _dataset(dataset: Any, meta: str) -> str:
    """A non-conforming dataset's file: named beside its metadata, never in another folder."""
    if not isinstance(dataset, str) or os.path.basename(dataset) != dataset or dataset in (".", "..") \
            or "\0" in dataset:
        raise RecordingError(f"{meta}: core:dataset {dataset!r} is not the name of a file beside it; quorvel "
                             "reads no dataset in another folder")
    return dataset


def _read_archive(sigmf: Any, name: str, in_format: Optional[str]) -> Source:
    with open_regular(name) as file:
        size = os.fstat(file.fileno()).st_size
        members: list[tarfile.TarInfo] = []
        try:
            members.extend(tarfile.open(fileobj=file, mode="r:"))
        except tarfile.TarError as exc:
            if not (members and _past(members[-1], size)):
                raise RecordingError(f"{name}: not an uncompressed tar archive ({exc})") from None
        meta, data = _archive_members(name, members, size)
        file.seek(meta.offset_data)
        metadata = _metadata(file.read(meta.size), name)
    handle = _checked(sigmf, metadata, name)
    if handle.get_global_field("core:dataset"):
        raise RecordingError(f"{name}: an archive of a non-conforming dataset, which quorvel does not read")
    return _source(name, handle, name, name, data.offset_data,
                   data.size - handle.get_global_field("core:trailing_bytes", 0), [name], in_format)


def _archive_members(name: str, members: list[tarfile.TarInfo], size: int) -> tuple[tarfile.TarInfo, tarfile.TarInfo]:
    """The metadata and data members of the one recording of an archive, each
    a plain file within the archive's ``size`` bytes."""
    metas = [m for m in members if m.name.endswith(META)]
    if len(metas) != 1:
        if not metas:
            raise RecordingError(f"{name}: holds no {META} member")
        raise RecordingError(f"{name}: holds {len(metas)} recordings ({', '.join(m.name for m in metas)}); quorvel "
                             "reads an archive of one")
    stem = metas[0].name[:-len(META)]
    datas = [m for m in members if m.name == stem + DATA]
    if len(datas) != 1:
        raise RecordingError(f"{name}: holds {len(datas) or 'no'} {stem + DATA} member(s) for {metas[0].name}")
    for member in (metas[0], datas[0]):
        if member.type not in (tarfile.REGTYPE, tarfile.AREGTYPE) or member.issparse():
            raise RecordingError(f"{name}: its member {member.name} is not a plain file")
        if _past(member, size):
            raise RecordingError(f"{name}: its member {member.name} claims {member.size} bytes, more than the "
                                 "archive holds")
    return metas[0], datas[0]


def _past(member: tarfile.TarInfo, size: int) -> bool:
    """Whether ``member`` claims more than the ``size`` bytes of its archive."""
    return member.offset_data + member.size > size


def _metadata(text: bytes, where: str) -> Any:
    try:
        return json.loads(text)
    except RecursionError:
        raise RecordingError(f"{where}: not JSON ({_NESTED})") from None
    except ValueError as exc:
        raise RecordingError(f"{where}: not JSON ({exc})") from None


def _checked(sigmf: Any, metadata: Any, meta: str) -> Any:
    if not isinstance(metadata, dict):
        raise RecordingError(f"{meta}: not SigMF metadata (a JSON object)")
    handle = sigmf.SigMFFile(metadata=metadata)
    _validate(handle)
    return handle


def _validate(handle: Any) -> None:
    """The sigmf package's checks of ``handle``'s metadata (with the package's
    defaults filled in), its schema's validator made once a process:
    jsonschema's ``validate`` checks the schema itself on every call, about
    75 ms a recording."""
    metadata = dict(handle.ordered_metadata())
    error = importlib.import_module("jsonschema.exceptions").best_match(_validator().iter_errors(metadata))
    if error is not None:
        raise error
    importlib.import_module("sigmf.validate").validate(metadata, ref_schema={})  # the checks beyond the schema


@functools.cache
def _validator() -> Any:
    schema = importlib.import_module("sigmf.schema").get_schema()
    validator = importlib.import_module("jsonschema.validators").validator_for(schema)
    validator.check_schema(schema)
    return validator(schema)


def _source(name: str, handle: Any, meta: str, data: str, start: int, end: int, files: list[str],
            in_format: Optional[str]) -> Source:
    """The source reading ``data`` from byte ``start``, its samples ending ``end`` bytes later."""
    datatype = handle.get_global_field("core:datatype")
    fmt = _datatype(datatype, meta)
    if in_format is not None and sample_format(in_format).sigmf != fmt.sigmf:
        raise UsageError(f"--in-format {in_format} disagrees with the datatype {datatype} of {meta}")
    channels = int(handle.get_global_field("core:num_channels", 1))
    frame = fmt.size * channels
    if channels > 1 and frame > end:  # the channels' loops take memory: as many as the data fills, no more
        raise RecordingError(f"{meta}: core:num_channels {channels} is more channels than {data}'s {max(end, 0)} "
                             f"bytes of samples fill ({frame} bytes a sample); quorvel sizes its memory by the data")
    ranges = _ranges(handle.get_captures(), frame, end, data)
    return Source(name=name, path=data, format=fmt, channels=channels,
                  ranges=[(start + offset, length) for offset, length in ranges], files=files,
                  metadata=dict(handle.ordered_metadata()))


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
    ranges: list[tuple[int, int]] = []
    headers = 0
    for k, capture in enumerate(captures):
        headers += int(capture.get("core:header_bytes", 0))
        offset = headers + (starts[k] - starts[0]) * frame
        stop = end if k + 1 == len(captures) else headers + (starts[k + 1] - starts[0]) * frame
        if offset > end or stop > end:
            raise RecordingError(f"{data}: holds {end} bytes of samples, fewer than its captures describe")
        if ranges and sum(ranges[-1]) == offset:  # captures that follow on are read as one
            ranges[-1] = (ranges[-1][0], stop - ranges[-1][0])
        else:
            ranges.append((offset, stop - offset))
    last = stop - offset
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
    top["quorvel:agc"] = options.as_json(record)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        handle = sigmf.SigMFFile(metadata=metadata)
        _validate(handle)
        return str(handle.dumps()) + "\n"

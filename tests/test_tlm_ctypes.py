"""The ctypes table in quorvel._tlm_core agrees with the C header it mirrors:
every prototype, the limits, the record and counter layouts, the capsule name."""

import ctypes
import functools
import pathlib
import re

import pytest

from quorvel import _tlm_core

pytestmark = pytest.mark.source_tree

SRC = pathlib.Path(__file__).resolve().parents[1] / "src"


@functools.cache
def header():
    return (SRC / "qv_tlm" / "qv_tlm_core.h").read_text()

C_TYPES = {
    "void": None, "int": ctypes.c_int, "double": ctypes.c_double, "size_t": ctypes.c_size_t,
    "uint32_t": ctypes.c_uint32, "uint64_t": ctypes.c_uint64, "const char *": ctypes.c_char_p,
    "qv_tlm_stats_t": _tlm_core.Stats,
}


def ctype(declaration):
    """ctypes type of a C type, or of a parameter declaration with its name."""
    text = " ".join(declaration.replace("*", " * ").replace("struct ", "").split())
    if "*" in text:
        return C_TYPES.get("const char *") if text.startswith("const char *") else ctypes.c_void_p
    words = text.split()
    return C_TYPES[words[0] if len(words) == 1 or words[0] != "const" else words[1]]


def prototypes():
    found = {}
    for ret, name, params in re.findall(r"QV_API\s+([\w\s*]+?)\s*\b(qv_tlm_\w+)\s*\(([^)]*)\)\s*;", header()):
        args = [] if params.strip() in ("", "void") else [ctype(p) for p in params.split(",")]
        found[name] = (ctype(ret), args)
    return found


def struct_fields(name):
    body = re.search(r"struct\s+" + name + r"\s*\{(.*?)\}", header(), re.S).group(1)
    body = re.sub(r"//[^\n]*", "", body)
    return [re.match(r"\s*(.*?)\s*(\w+)$", field).groups() for field in body.split(";") if field.strip()]


def test_every_signature_matches_its_prototype():
    declared = prototypes()
    assert len(declared) > 20
    for name, (restype, argtypes) in _tlm_core.SIGNATURES.items():
        assert name in declared, f"{name} is not declared in qv_tlm_core.h"
        assert (restype, argtypes) == declared[name], name
        function = getattr(_tlm_core.lib, name)
        assert (function.restype, function.argtypes) == (restype, argtypes)


def test_limits_layouts_and_capsule_name():
    limit = dict(re.findall(r"\b(QV_TLM_\w+)\s*=?\s*(\d+)", header()))
    assert int(limit["QV_TLM_MAX_PROBES"]) == _tlm_core.MAX_PROBES == 64
    assert int(limit["QV_TLM_NAME_BYTES"]) == _tlm_core.NAME_BYTES == 32

    sizes = {"uint64_t": 8, "float": 4, "uint16_t": 2}
    record = struct_fields("qv_tlm_rec")
    assert [name for _, name in record] == list(_tlm_core.RECORD.names)
    assert [sizes[c] for c, _ in record] == [_tlm_core.RECORD[name].itemsize for _, name in record]
    stats = struct_fields("qv_tlm_stats_t")
    assert [(ctype(c), name) for c, name in stats] == [(t, name) for name, t in _tlm_core.Stats._fields_]

    binding = "".join(path.read_text() for path in sorted((SRC / "agc").iterdir()))
    capsule_names = set(re.findall(r'PyCapsule_GetPointer\([^,]+,\s*"([^"]+)"\)', binding))
    assert capsule_names == {_tlm_core.CAPSULE_NAME.decode()}

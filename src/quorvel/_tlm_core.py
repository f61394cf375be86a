"""ctypes view of the telemetry core that the agc extension exports.

One copy of the core serves both sides: the AGC emits into a context through
its inline emit, and Python manages and drains the same context through these
functions. Only the copying calls (``qv_tlm_read`` and the demultiplexers)
release the interpreter lock, so that a reader thread really runs beside a
producer busy in ``AGC.steps``; every other call keeps it, and thereby never
overlaps a ``steps`` call (which holds it throughout).
"""

import ctypes
import types
from typing import Any

import numpy as np

from quorvel import agc as _agc

MAX_PROBES = 64
NAME_BYTES = 32
CAPSULE_NAME = b"quorvel.telemetry.qv_tlm"
CLOSED_CAPSULE_NAME = b"quorvel.telemetry.closed"

RECORD = np.dtype([("stamp", "<u8"), ("value", "<f4"), ("probe", "<u2"), ("reserved", "<u2")])
assert RECORD.itemsize == 16


class Stats(ctypes.Structure):
    _fields_ = [("dropped", ctypes.c_uint64), ("emitted", ctypes.c_uint64),
                ("capacity", ctypes.c_uint64), ("probe_count", ctypes.c_uint64)]


_ctx, _size, _u32, _u64, _int = ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint32, ctypes.c_uint64, ctypes.c_int
_str, _ptr = ctypes.c_char_p, ctypes.c_void_p

SIGNATURES = {
    "qv_tlm_create": (_ctx, [_size]),
    "qv_tlm_destroy": (None, [_ctx]),
    "qv_tlm_probe": (_int, [_ctx, _str, _u32]),
    "qv_tlm_probe_id": (_int, [_ctx, _str]),
    "qv_tlm_set_decim": (_int, [_ctx, _str, _u32]),
    "qv_tlm_probe_name": (_str, [_ctx, _int]),
    "qv_tlm_probe_count": (_u32, [_ctx]),
    "qv_tlm_capacity": (_size, [_ctx]),
    "qv_tlm_stamp": (_u64, [_ctx]),
    "qv_tlm_set_stamp": (None, [_ctx, _u64]),
    "qv_tlm_emit_checked": (_int, [_ctx, _u32, ctypes.c_double]),
    "qv_tlm_avail": (_size, [_ctx]),
    "qv_tlm_read": (_size, [_ctx, _size, _ptr, _size]),
    "qv_tlm_dropped": (_u64, [_ctx]),
    "qv_tlm_emitted": (_u64, [_ctx, _int]),
    "qv_tlm_stats": (Stats, [_ctx]),
    "qv_tlm_demux_counts": (None, [_ptr, _size, _ptr, _size]),
    "qv_tlm_demux": (None, [_ptr, _size, _ptr, _ptr, _ptr, _size]),
    "qv_tlm_resize": (_int, [_ctx, _size]),
}

# The calls that run without the interpreter lock: they only copy.
UNLOCKED = {"qv_tlm_read", "qv_tlm_demux_counts", "qv_tlm_demux"}


def _load() -> types.SimpleNamespace:
    locked, unlocked = ctypes.PyDLL(_agc.__file__), ctypes.CDLL(_agc.__file__)
    functions: dict[str, Any] = {}
    for name, (restype, argtypes) in SIGNATURES.items():
        func = getattr(unlocked if name in UNLOCKED else locked, name)
        func.restype, func.argtypes = restype, argtypes
        functions[name] = func
    return types.SimpleNamespace(**functions)


lib = _load()

_new_capsule = ctypes.pythonapi.PyCapsule_New
_new_capsule.restype, _new_capsule.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
_rename_capsule = ctypes.pythonapi.PyCapsule_SetName
_rename_capsule.restype, _rename_capsule.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_char_p]


def new_capsule(context: int) -> object:
    """A capsule named CAPSULE_NAME around the context (no destructor)."""
    capsule: object = _new_capsule(context, CAPSULE_NAME, None)
    return capsule


def close_capsule(capsule: object) -> None:
    """Renames the capsule so that no AGC can attach through it any more."""
    _rename_capsule(capsule, CLOSED_CAPSULE_NAME)

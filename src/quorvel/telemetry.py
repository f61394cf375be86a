"""Telemetry: watch an AGC (or your own code) from the inside, live.

A :class:`Telemetry` owns one telemetry context: up to 64 named probes, each
with its own thinning, feeding a lock-free single-producer single-consumer
ring of 16-byte records (stamp, value, probe id). An attached AGC emits its
gain command and measured level at every loop update; you drain the ring with
:meth:`Telemetry.read`, on the same thread or on one other thread, and split
the records per probe with :meth:`Telemetry.demux`.

Threading rules: exactly one thread produces (steps every AGC attached to the
context, or calls :meth:`Telemetry.emit`), or one at a time: an ``AGCBank``
keeps the interpreter lock while attached, as an ``AGC`` always does, so
banks and AGCs attached to one context may be stepped from several Python
threads. At most one thread reads
(:meth:`read`, :attr:`avail`). Registering probes and attaching are setup
steps. :meth:`close` and :meth:`resize` may come from any thread at any time:
a read running beside them returns a whole result or raises
``RuntimeError("telemetry context is closed")``, and a ``steps`` call is never
interrupted by them. When the ring is full new records are dropped and
counted, never overwritten.

Lifetime: an AGC attached to a context holds it, however it was attached, so
closing the Telemetry (or losing it) first is safe: the memory stays until
that AGC is detached or destroyed, and nobody reads what it emits.

In a child made by ``fork()`` every ring is the child's own copy, so neither
process sees the other's records; a child the system cannot give that copy
finds ``capacity`` 0 and every record dropped (:meth:`resize` gives it a new
ring).

Examples
--------
>>> import numpy as np
>>> from quorvel.agc import AGC
>>> from quorvel.telemetry import Telemetry
>>> with Telemetry(4096) as tlm:
...     agc = AGC()
...     tlm.attach(agc, prefix="agc")
...     _ = agc.steps(np.full(4096, 0.5 + 0j, np.complex64))
...     probes = tlm.demux(tlm.read())
>>> len(probes["agc.gain_db"]), len(probes["agc.level_db"])
(512, 512)
>>> round(float(probes["agc.gain_db"][-1]), 1), round(float(probes["agc.level_db"][-1]), 1)
(6.0, 0.0)
"""

from __future__ import annotations

import os
import threading
import weakref
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, NoReturn, Union, overload

import numpy as np
import numpy.typing as npt

from quorvel import _tlm_core as _core
from quorvel.agc import AGC, AGCBank

__all__ = ["RECORD", "Telemetry", "TelemetryStats"]

#: dtype of the records :meth:`Telemetry.read` returns.
RECORD: np.dtype[np.void] = _core.RECORD

if TYPE_CHECKING:
    _Records = np.ndarray[Any, np.dtype[np.void]]
    _Floats = np.ndarray[Any, np.dtype[np.float32]]
    _Stamps = np.ndarray[Any, np.dtype[np.uint64]]

_SIZE_LIMIT = 1 << 64
_CAPACITY_LIMIT = 1 << 59  # twice the storage must fit in a size_t

# Every open Telemetry, so that attach() can take an AGC off the others' books.
# The AGC's own record says where it really emits; these books only decide
# whom close() detaches.
_live: weakref.WeakSet[Telemetry] = weakref.WeakSet()


class TelemetryStats(NamedTuple):
    """Counter snapshot of a context.

    dropped: records refused because the ring was full (since the ring was made);
    emitted: records that entered a ring, all probes, over the context's life;
    capacity: ring size in records; probe_count: registered probes.
    """

    dropped: int
    emitted: int
    capacity: int
    probe_count: int


def _name_bytes(name: object) -> bytes:
    if not isinstance(name, str):
        raise TypeError(f"probe name must be str, not {type(name).__name__}")
    if "\0" in name:
        raise ValueError(f"probe name {name!r} contains a NUL character")
    return name.encode()


def _check_decim(decim: int) -> int:
    decim = int(decim)
    if not 1 <= decim < 2**32:
        raise ValueError(f"decim must be between 1 and 2**32 - 1, got {decim}")
    return decim


def _closed() -> NoReturn:
    raise RuntimeError("telemetry context is closed")


class Telemetry:
    """Telemetry(capacity=4096)

    A telemetry context: named probes and a lock-free ring of records.

    Parameters
    ----------
    capacity : int, optional
        Ring size in records, a power of two. A ring fills at least one
        memory page, so small requests are raised (to 256 records with 4 KiB
        pages). Its shared memory is reserved at once.

    Raises
    ------
    ValueError
        ``capacity`` is not a power of two, or its storage cannot be
        represented.
    OSError
        The shared-memory ring could not be created (for instance, it is
        larger than the shared-memory filesystem can hold).

    Notes
    -----
    :meth:`close` (or a ``with`` block) plays the part of ``destroy()`` on
    the extension types: afterwards every use raises
    ``RuntimeError("telemetry context is closed")``.

    Examples
    --------
    >>> from quorvel.telemetry import Telemetry
    >>> tlm = Telemetry(1024)
    >>> tlm.probe("rx.rssi")
    0
    >>> tlm.emit("rx.rssi", -42.5)
    >>> tlm.read()["value"]
    array([-42.5], dtype=float32)
    >>> tlm.close()
    """

    _context: int | None

    def __init__(self, capacity: int = 4096) -> None:
        capacity = int(capacity)
        if capacity <= 0 or capacity & (capacity - 1):
            raise ValueError(f"capacity must be a power of two, got {capacity}")
        if capacity >= _CAPACITY_LIMIT:
            raise ValueError(f"capacity {capacity} is too large to be represented")
        context = _core.lib.qv_tlm_create(capacity)
        if not context:
            raise OSError(f"could not create a telemetry ring of {capacity} records")
        if getattr(self, "_context", None) is not None:
            self.close()  # a second __init__ releases the ring it replaces
        self._lock = threading.RLock()  # serialises every use of the context against close and resize
        self._context = context
        self._capsule_object = _core.new_capsule(context)
        self._attached: dict[int, AGC | AGCBank] = {}  # id(agc) -> agc
        _live.add(self)

    # -- life ---------------------------------------------------------------

    def close(self) -> None:
        """Detach every AGC attached through :meth:`attach`, then free the context.

        An AGC attached by calling ``AGC.set_telemetry`` directly keeps the
        context's memory until it is detached or destroyed; nothing reads its
        records any more. Closing twice does nothing; a read running in
        another thread finishes first.
        """
        with self._lock:
            if self._context is None:
                return
            for agc in list(self._attached.values()):
                self.detach(agc)
            _core.close_capsule(self._capsule_object)
            _core.lib.qv_tlm_destroy(self._context)
            self._context = None
        _live.discard(self)

    def __enter__(self) -> Telemetry:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_context", None) is not None:
            self.close()

    def __reduce_ex__(self, protocol: Any) -> NoReturn:
        raise TypeError(f"cannot pickle {type(self).__name__!r} object")

    @property
    def closed(self) -> bool:
        """True once :meth:`close` ran."""
        return self._context is None

    @property
    def _capsule(self) -> object:
        """The capsule through which ``AGC.set_telemetry`` reaches the context."""
        with self._lock:
            if self._context is None:
                _closed()
            return self._capsule_object

    # -- probes -------------------------------------------------------------

    def probe(self, name: str, decim: int = 1) -> int:
        """Register a probe (or re-register one) and return its id.

        Ids are given in registration order and never reused. Re-registering a
        name keeps its id and ``emitted`` count, sets the new ``decim`` and
        makes its next emission produce a record.

        Parameters
        ----------
        name : str
            At most 31 bytes in UTF-8, without NUL characters.
        decim : int, optional
            Keep one emission in ``decim`` (the 1st, the ``decim + 1``-th, ...).
        """
        data = _name_bytes(name)
        decim = _check_decim(decim)
        if len(data) >= _core.NAME_BYTES:
            raise ValueError(f"probe name {name!r} is longer than {_core.NAME_BYTES - 1} bytes")
        with self._lock:
            rc: int = _core.lib.qv_tlm_probe(self._context or _closed(), data, decim)
        if rc < 0:
            raise ValueError(f"cannot register probe {name!r}: all {_core.MAX_PROBES} probes are in use")
        return rc

    def probe_id(self, name: str) -> int:
        """Id of a registered probe; KeyError if there is none of that name."""
        data = _name_bytes(name)
        with self._lock:
            rc: int = _core.lib.qv_tlm_probe_id(self._context or _closed(), data)
        if rc < 0:
            raise KeyError(name)
        return rc

    def set_decim(self, name: str, decim: int) -> None:
        """Change a probe's thinning; its next emission produces a record."""
        data = _name_bytes(name)
        decim = _check_decim(decim)
        with self._lock:
            rc = _core.lib.qv_tlm_set_decim(self._context or _closed(), data, decim)
        if rc < 0:
            raise KeyError(name)

    @property
    def probe_names(self) -> tuple[str, ...]:
        """Names of the registered probes, in id order."""
        with self._lock:
            ctx = self._context or _closed()
            return tuple(_core.lib.qv_tlm_probe_name(ctx, i).decode()
                         for i in range(_core.lib.qv_tlm_probe_count(ctx)))

    def emitted(self, name: str) -> int:
        """Records of one probe that entered the ring, over the context's life."""
        with self._lock:
            count: int = _core.lib.qv_tlm_emitted(self._context or _closed(), self.probe_id(name))
            return count

    def emit(self, probe: str | int, value: float) -> None:
        """Offer a value to a probe (by name or id), from the producer thread."""
        with self._lock:
            probe_id = self.probe_id(probe) if isinstance(probe, str) else int(probe)
            if not 0 <= probe_id < 2**32 or _core.lib.qv_tlm_emit_checked(
                    self._context or _closed(), probe_id, float(value)) < 0:
                raise ValueError(f"no probe with id {probe_id}")

    # -- counters -----------------------------------------------------------

    def _counter(self, name: str) -> int:
        with self._lock:
            value: int = getattr(_core.lib, name)(self._context or _closed())
            return value

    @property
    def capacity(self) -> int:
        """Ring capacity in records."""
        return self._counter("qv_tlm_capacity")

    @property
    def avail(self) -> int:
        """Records waiting to be read."""
        return self._counter("qv_tlm_avail")

    @property
    def dropped(self) -> int:
        """Records refused because the ring was full (since the ring was made)."""
        return self._counter("qv_tlm_dropped")

    @property
    def stamp(self) -> int:
        """The value copied into the ``stamp`` field of every record emitted.

        Set it from the producer thread, e.g. to a sample counter or a run tag.
        """
        return self._counter("qv_tlm_stamp")

    @stamp.setter
    def stamp(self, value: int) -> None:
        value = int(value)
        if not 0 <= value < _SIZE_LIMIT:
            raise ValueError(f"stamp must fit in 64 unsigned bits, got {value}")
        with self._lock:
            _core.lib.qv_tlm_set_stamp(self._context or _closed(), value)

    def stats(self) -> TelemetryStats:
        """Snapshot of the counters as a :class:`TelemetryStats`."""
        with self._lock:
            s = _core.lib.qv_tlm_stats(self._context or _closed())
        return TelemetryStats(s.dropped, s.emitted, s.capacity, s.probe_count)

    # -- reading ------------------------------------------------------------

    def read(self, max_records: int = 0, out: _Records | None = None) -> _Records:
        """Take waiting records out of the ring, oldest first, in one copy.

        Parameters
        ----------
        max_records : int, optional
            At most this many; 0 takes everything waiting.
        out : ndarray, optional
            A C-contiguous array of dtype :data:`RECORD` to fill (no
            allocation); at most ``len(out)`` records are taken.

        Returns
        -------
        ndarray
            Records of dtype :data:`RECORD` (fields ``stamp``, ``value``,
            ``probe``, ``reserved``): a new array, or the filled start of ``out``.

        Raises
        ------
        RuntimeError
            The context is closed, also when :meth:`close` runs in another
            thread before this read takes its records.
        """
        if self._context is None:
            _closed()
        max_records = int(max_records)
        if not 0 <= max_records < _SIZE_LIMIT:
            raise ValueError(f"max_records must be between 0 and 2**64 - 1, got {max_records}")
        if out is not None and not (isinstance(out, np.ndarray) and out.dtype == RECORD
                                    and out.flags.c_contiguous and out.flags.writeable):
            raise TypeError("out must be a writable, C-contiguous ndarray of dtype RECORD")
        with self._lock:  # held across the copy, which runs without the interpreter lock
            ctx = self._context or _closed()
            if out is None:
                waiting = _core.lib.qv_tlm_avail(ctx)
                out = np.empty(min(waiting, max_records) if max_records else waiting, RECORD)
            n = _core.lib.qv_tlm_read(ctx, max_records, out.ctypes.data, out.size) if out.size else 0
        return out.reshape(-1)[:n]

    @overload
    def demux(self, records: npt.ArrayLike, stamps: Literal[False] = False) -> dict[str, _Floats]: ...

    @overload
    def demux(self, records: npt.ArrayLike, stamps: Literal[True]) -> tuple[dict[str, _Floats], dict[str, _Stamps]]:
        ...

    def demux(self, records: npt.ArrayLike, stamps: bool = False
              ) -> Union[dict[str, _Floats], tuple[dict[str, _Floats], dict[str, _Stamps]]]:
        """Split records per probe, keeping emission order.

        Parameters
        ----------
        records : ndarray
            Records of dtype :data:`RECORD`, as :meth:`read` returns them.
        stamps : bool, optional
            Also return each probe's stamps.

        Returns
        -------
        dict
            Probe name -> float32 values (every registered probe, possibly
            empty); with ``stamps=True`` a second dict of uint64 stamps.
        """
        records = np.ascontiguousarray(records, dtype=RECORD).reshape(-1)
        names = self.probe_names
        k = len(names)
        counts = np.zeros(max(k, 1), np.uintp)
        _core.lib.qv_tlm_demux_counts(records.ctypes.data, records.size, counts.ctypes.data, k)
        values = [np.empty(int(c), np.float32) for c in counts[:k]]
        times = [np.empty(int(c), np.uint64) for c in counts[:k]] if stamps else []
        value_ptrs = np.array([v.ctypes.data for v in values] or [0], np.uintp)
        stamp_ptrs = np.array([t.ctypes.data for t in times] or [0], np.uintp)
        _core.lib.qv_tlm_demux(records.ctypes.data, records.size, value_ptrs.ctypes.data,
                               stamp_ptrs.ctypes.data if stamps else None, counts.ctypes.data, k)
        by_name = dict(zip(names, values))
        return (by_name, dict(zip(names, times))) if stamps else by_name

    # -- growth -------------------------------------------------------------

    def resize(self, capacity: int) -> None:
        """Give the context a larger, empty ring of at least ``capacity`` records.

        Probes, ids (held by attached AGCs) and ``emitted`` counts stay;
        records not yet read are discarded and ``dropped`` starts again at 0.
        Asking for no more than the current capacity changes nothing. A read
        or a ``steps`` call running in another thread finishes first.
        """
        capacity = int(capacity)
        if capacity < 0:
            raise ValueError("capacity must not be negative")
        with self._lock:
            ctx = self._context or _closed()
            if capacity >= _SIZE_LIMIT or _core.lib.qv_tlm_resize(ctx, capacity) < 0:
                raise ValueError(f"cannot grow the ring to {capacity} records")

    # -- AGC attachment -----------------------------------------------------

    def attach(self, agc: AGC | AGCBank, prefix: str = "agc", decim: int = 1) -> None:
        """Attach an AGC: it emits ``<prefix>.gain_db`` and ``<prefix>.level_db``
        (channel c of an AGCBank ``<prefix>.<c>.gain_db`` and ``.level_db``).

        The AGC is kept until :meth:`detach` or :meth:`close`, which detaches
        it. Attaching it here takes it away from any other Telemetry it was
        attached to.
        """
        decim = _check_decim(decim)
        with self._lock:
            if self._context is None:
                _closed()
            agc.set_telemetry(self, prefix, decim)
            for other in list(_live):
                if other is not self:
                    other._attached.pop(id(agc), None)
            self._attached[id(agc)] = agc

    def detach(self, agc: AGC | AGCBank) -> None:
        """Detach an AGC attached with :meth:`attach` (a destroyed one is fine)."""
        with self._lock:
            if self._attached.pop(id(agc), None) is None:
                return
            try:
                agc.set_telemetry(None, "")
            except RuntimeError:  # destroyed: it emits nothing any more
                pass

    def __repr__(self) -> str:
        if self._context is None:
            return "<Telemetry closed>"
        return f"<Telemetry capacity={self.capacity} probes={len(self.probe_names)} avail={self.avail}>"


def _fresh_locks_after_fork() -> None:
    # A lock held by another thread at the fork would stay held in the child.
    for tlm in list(_live):
        tlm._lock = threading.RLock()


os.register_at_fork(after_in_child=_fresh_locks_after_fork)

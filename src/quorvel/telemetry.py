"""Telemetry: watch an AGC (or your own code) from the inside, live.

A :class:`Telemetry` owns one telemetry context: up to 64 named probes, each
with its own thinning, feeding a lock-free single-producer single-consumer
ring of 16-byte records (stamp, value, probe id). An attached AGC emits its
gain command and measured level at every loop update; you drain the ring with
:meth:`Telemetry.read`, on the same thread or on one other thread, and split
the records per probe with :meth:`Telemetry.demux`.

Threading rules: exactly one thread produces (steps every AGC attached to the
context, or calls :meth:`Telemetry.emit`); at most one thread reads
(:meth:`read`, :attr:`avail`). Registering probes, attaching, :meth:`resize`
and :meth:`close` are setup steps: do them while neither side is running.
When the ring is full new records are dropped and counted, never overwritten.

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

import weakref
from collections import namedtuple

import numpy as np

from quorvel import _tlm_core as _core

__all__ = ["RECORD", "Telemetry", "TelemetryStats"]

#: dtype of the records :meth:`Telemetry.read` returns.
RECORD = _core.RECORD

_live = weakref.WeakSet()  # every open Telemetry, so an AGC is attached to one at a time


TelemetryStats = namedtuple("TelemetryStats", "dropped emitted capacity probe_count")
TelemetryStats.__doc__ = """Counter snapshot of a context.

dropped: records refused because the ring was full (since the ring was made);
emitted: records that entered a ring, all probes, over the context's life;
capacity: ring size in records; probe_count: registered probes.
"""


def _name_bytes(name):
    if not isinstance(name, str):
        raise TypeError(f"probe name must be str, not {type(name).__name__}")
    return name.encode()


def _check_decim(decim):
    decim = int(decim)
    if not 1 <= decim < 2**32:
        raise ValueError(f"decim must be between 1 and 2**32 - 1, got {decim}")
    return decim


class Telemetry:
    """Telemetry(capacity=4096)

    A telemetry context: named probes and a lock-free ring of records.

    Parameters
    ----------
    capacity : int, optional
        Ring size in records, a power of two. A ring fills at least one
        memory page, so small requests are raised (to 256 records with 4 KiB
        pages).

    Raises
    ------
    ValueError
        ``capacity`` is not a power of two, or its storage cannot be
        represented.
    OSError
        The shared-memory ring could not be created.

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

    def __init__(self, capacity=4096):
        capacity = int(capacity)
        if capacity <= 0 or capacity & (capacity - 1):
            raise ValueError(f"capacity must be a power of two, got {capacity}")
        context = _core.lib.qv_tlm_create(capacity)
        if not context:
            if capacity > 2**58:
                raise ValueError(f"capacity {capacity} is too large to be represented")
            raise OSError(f"could not create a telemetry ring of {capacity} records")
        self._context = context
        self._capsule = _core.new_capsule(context)
        self._attached = {}  # id(agc) -> agc
        _live.add(self)

    # -- life ---------------------------------------------------------------

    def close(self):
        """Detach every AGC attached through :meth:`attach`, then free the context.

        An AGC attached by calling ``AGC.set_telemetry`` directly is not known
        here: its caller must detach it first. Closing twice does nothing.
        """
        if self._context is None:
            return
        for agc in list(self._attached.values()):
            self.detach(agc)
        _core.close_capsule(self._capsule)
        _core.lib.qv_tlm_destroy(self._context)
        self._context = None
        _live.discard(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_context", None) is not None:
            self.close()

    @property
    def closed(self):
        """True once :meth:`close` ran."""
        return self._context is None

    def _ctx(self):
        if self._context is None:
            raise RuntimeError("telemetry context is closed")
        return self._context

    # -- probes -------------------------------------------------------------

    def probe(self, name, decim=1):
        """Register a probe (or re-register one) and return its id.

        Ids are given in registration order and never reused. Re-registering a
        name keeps its id and ``emitted`` count, sets the new ``decim`` and
        makes its next emission produce a record.

        Parameters
        ----------
        name : str
            At most 31 bytes in UTF-8.
        decim : int, optional
            Keep one emission in ``decim`` (the 1st, the ``decim + 1``-th, ...).
        """
        data = _name_bytes(name)
        decim = _check_decim(decim)
        if len(data) >= _core.NAME_BYTES:
            raise ValueError(f"probe name {name!r} is longer than {_core.NAME_BYTES - 1} bytes")
        rc = _core.lib.qv_tlm_probe(self._ctx(), data, decim)
        if rc < 0:
            raise ValueError(f"cannot register probe {name!r}: all {_core.MAX_PROBES} probes are in use")
        return rc

    def probe_id(self, name):
        """Id of a registered probe; KeyError if there is none of that name."""
        rc = _core.lib.qv_tlm_probe_id(self._ctx(), _name_bytes(name))
        if rc < 0:
            raise KeyError(name)
        return rc

    def set_decim(self, name, decim):
        """Change a probe's thinning; its next emission produces a record."""
        decim = _check_decim(decim)
        if _core.lib.qv_tlm_set_decim(self._ctx(), _name_bytes(name), decim) < 0:
            raise KeyError(name)

    @property
    def probe_names(self):
        """Names of the registered probes, in id order."""
        ctx = self._ctx()
        return tuple(_core.lib.qv_tlm_probe_name(ctx, i).decode()
                     for i in range(_core.lib.qv_tlm_probe_count(ctx)))

    def emitted(self, name):
        """Records of one probe that entered the ring, over the context's life."""
        return _core.lib.qv_tlm_emitted(self._ctx(), self.probe_id(name))

    def emit(self, probe, value):
        """Offer a value to a probe (by name or id), from the producer thread."""
        probe_id = self.probe_id(probe) if isinstance(probe, str) else int(probe)
        if not 0 <= probe_id < 2**32 or _core.lib.qv_tlm_emit_checked(self._ctx(), probe_id, float(value)) < 0:
            raise ValueError(f"no probe with id {probe_id}")

    # -- counters -----------------------------------------------------------

    @property
    def capacity(self):
        """Ring capacity in records."""
        return _core.lib.qv_tlm_capacity(self._ctx())

    @property
    def avail(self):
        """Records waiting to be read."""
        return _core.lib.qv_tlm_avail(self._ctx())

    @property
    def dropped(self):
        """Records refused because the ring was full (since the ring was made)."""
        return _core.lib.qv_tlm_dropped(self._ctx())

    @property
    def stamp(self):
        """The value copied into the ``stamp`` field of every record emitted.

        Set it from the producer thread, e.g. to a sample counter or a run tag.
        """
        return _core.lib.qv_tlm_stamp(self._ctx())

    @stamp.setter
    def stamp(self, value):
        value = int(value)
        if not 0 <= value < 2**64:
            raise ValueError(f"stamp must fit in 64 unsigned bits, got {value}")
        _core.lib.qv_tlm_set_stamp(self._ctx(), value)

    def stats(self):
        """Snapshot of the counters as a :class:`TelemetryStats`."""
        s = _core.lib.qv_tlm_stats(self._ctx())
        return TelemetryStats(s.dropped, s.emitted, s.capacity, s.probe_count)

    # -- reading ------------------------------------------------------------

    def read(self, max_records=0, out=None):
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
        """
        ctx = self._ctx()
        max_records = int(max_records)
        if max_records < 0:
            raise ValueError("max_records must not be negative")
        if out is None:
            waiting = _core.lib.qv_tlm_avail(ctx)
            out = np.empty(min(waiting, max_records) if max_records else waiting, RECORD)
        elif not (isinstance(out, np.ndarray) and out.dtype == RECORD and out.flags.c_contiguous
                  and out.flags.writeable):
            raise TypeError("out must be a writable, C-contiguous ndarray of dtype RECORD")
        n = _core.lib.qv_tlm_read(ctx, max_records, out.ctypes.data, out.size) if out.size else 0
        return out.reshape(-1)[:n]

    def demux(self, records, stamps=False):
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
        times = [np.empty(int(c), np.uint64) for c in counts[:k]] if stamps else None
        value_ptrs = np.array([v.ctypes.data for v in values] or [0], np.uintp)
        stamp_ptrs = np.array([t.ctypes.data for t in times] or [0], np.uintp) if stamps else None
        _core.lib.qv_tlm_demux(records.ctypes.data, records.size, value_ptrs.ctypes.data,
                               stamp_ptrs.ctypes.data if stamps else None, counts.ctypes.data, k)
        by_name = dict(zip(names, values))
        return (by_name, dict(zip(names, times))) if stamps else by_name

    # -- growth -------------------------------------------------------------

    def resize(self, capacity):
        """Give the context a larger, empty ring of at least ``capacity`` records.

        Probes, ids (held by attached AGCs) and ``emitted`` counts stay;
        records not yet read are discarded and ``dropped`` starts again at 0.
        Asking for no more than the current capacity changes nothing. Neither
        the producer nor the reader may run during the call.
        """
        capacity = int(capacity)
        if capacity < 0:
            raise ValueError("capacity must not be negative")
        if _core.lib.qv_tlm_resize(self._ctx(), capacity) < 0:
            raise ValueError(f"cannot grow the ring to {capacity} records")

    # -- AGC attachment -----------------------------------------------------

    def attach(self, agc, prefix="agc", decim=1):
        """Attach an AGC: it emits ``<prefix>.gain_db`` and ``<prefix>.level_db``.

        The AGC is kept until :meth:`detach` or :meth:`close`, which detaches
        it, so it can never write into a freed context. Attaching it here
        takes it away from any other Telemetry it was attached to.
        """
        agc.set_telemetry(self, prefix, _check_decim(decim))
        for other in list(_live):
            if other is not self:
                other._attached.pop(id(agc), None)
        self._attached[id(agc)] = agc

    def detach(self, agc):
        """Detach an AGC attached with :meth:`attach` (a destroyed one is fine)."""
        if self._attached.pop(id(agc), None) is None:
            return
        try:
            agc.set_telemetry(None, "")
        except RuntimeError:  # destroyed: it emits nothing any more
            pass

    def __repr__(self):
        if self._context is None:
            return "<Telemetry closed>"
        return f"<Telemetry capacity={self.capacity} probes={len(self.probe_names)} avail={self.avail}>"

"""Telemetry: the Python class, the AGC probes end to end, threads, growth,
and the shared-memory namespace left clean."""

import os
import threading

import numpy as np
import pytest

from quorvel import _tlm_core
from quorvel.agc import AGC
from quorvel.telemetry import RECORD, Telemetry, TelemetryStats


def shm_entries():
    return {name for name in os.listdir("/dev/shm") if name.startswith(f"qv_{os.getpid()}_")}


@pytest.fixture
def tlm():
    with Telemetry(4096) as t:
        yield t


def test_agc_probes_end_to_end(tlm):
    agc = AGC()
    tlm.attach(agc)
    assert tlm.probe_names == ("agc.gain_db", "agc.level_db")
    agc.steps(np.full(4096, 0.5 + 0j, np.complex64))
    records = tlm.read()
    assert records.dtype == RECORD and len(records) == 1024
    assert records["probe"].tolist() == [0, 1] * 512           # gain then level, every update
    assert not records["stamp"].any() and not records["reserved"].any()
    probes = tlm.demux(records)
    assert round(float(probes["agc.gain_db"][-1]), 1) == 6.0
    assert round(float(probes["agc.level_db"][-1]), 1) == 0.0
    assert tlm.emitted("agc.gain_db") == tlm.emitted("agc.level_db") == 512


def test_emitted_values_are_the_loop_quantities(tlm):
    agc = AGC()
    tlm.attach(agc)
    gains = []
    for x in np.linspace(0.1, 3, 20):
        agc.step(complex(x))
        gains.append(np.float32(agc.gain_db))
    assert tlm.demux(tlm.read())["agc.gain_db"].tolist() == gains


def test_per_sample_path_thinning(tlm):
    agc = AGC()
    agc.set_telemetry(tlm, "agc", 4)
    for k in range(1, 14):
        tlm.stamp = k
        agc.step(1 + 0j)
    records = tlm.read()
    assert records["stamp"].tolist() == [1, 1, 5, 5, 9, 9, 13, 13]
    agc.set_telemetry(None, "agc")
    agc.step(1 + 0j)
    assert tlm.avail == 0


def test_attachment_rules(tlm):
    agc = AGC()
    agc.set_telemetry(tlm, "a")
    first = (tlm.probe_id("a.gain_db"), tlm.probe_id("a.level_db"))
    agc.set_telemetry(tlm._capsule, "a")                      # a capsule passed directly
    assert (tlm.probe_id("a.gain_db"), tlm.probe_id("a.level_db")) == first
    assert len(tlm.probe_names) == 2
    with pytest.raises(ValueError, match=r"^set_telemetry failed \(rc=-4\)$"):
        agc.set_telemetry(tlm, "b", 0)
    agc.steps(np.ones(8, np.complex64))                        # the earlier attachment stays
    assert set(tlm.demux(tlm.read())) >= {"a.gain_db", "a.level_db"}
    assert tlm.demux(tlm.read()).get("b.gain_db", np.zeros(0)).size == 0


def test_prefix_that_would_merge_the_probes_is_refused(tlm):
    agc = AGC()
    for prefix in ("x" * 30, "x" * 31, "x" * 100):
        with pytest.raises(ValueError, match="set_telemetry failed"):
            agc.set_telemetry(tlm, prefix)
    assert tlm.probe_names == ()
    agc.set_telemetry(tlm, "y" * 29)                          # cut, but still two names
    assert tlm.probe_names == ("y" * 29 + ".g", "y" * 29 + ".l")


def test_probe_table_limit(tlm):
    for i in range(63):
        tlm.probe(f"p{i}")
    agc = AGC()
    with pytest.raises(ValueError, match="set_telemetry failed"):
        agc.set_telemetry(tlm, "agc")                           # second name would be the 65th
    with pytest.raises(ValueError, match="64 probes"):
        tlm.probe("one more")
    assert tlm.probe("p3", decim=2) == 3                       # re-registering still works


def test_capsule_errors(tlm):
    agc = AGC()

    class Holder:
        _capsule = None
    with pytest.raises(AttributeError):
        agc.set_telemetry(object(), "agc")
    with pytest.raises(ValueError):
        agc.set_telemetry(Holder(), "agc")                      # not a capsule
    Holder.name = b"some.other.capsule"                      # the capsule keeps a pointer to it
    Holder._capsule = _tlm_core._new_capsule(tlm._context, Holder.name, None)
    with pytest.raises(ValueError):
        agc.set_telemetry(Holder(), "agc")                      # a capsule of another name
    other = Telemetry(256)
    capsule = other._capsule
    other.close()
    with pytest.raises(ValueError):
        agc.set_telemetry(capsule, "agc")                       # closed: renamed, refused
    with pytest.raises(TypeError):
        agc.set_telemetry(tlm)


def test_close_detaches_attached_agcs():
    agc = AGC()
    before = shm_entries()
    tlm = Telemetry(1024)
    tlm.attach(agc)
    agc.steps(np.ones(64, np.complex64))
    tlm.close()
    tlm.close()
    agc.steps(np.ones(64, np.complex64))                       # emits nowhere, touches nothing freed
    with pytest.raises(RuntimeError, match="closed"):
        tlm.read()
    assert shm_entries() == before


def test_attach_moves_an_agc_between_contexts():
    agc = AGC()
    a, b = Telemetry(256), Telemetry(256)
    a.attach(agc)
    b.attach(agc)
    a.close()                                                  # must not detach it from b
    agc.steps(np.ones(8, np.complex64))
    assert b.avail == 2
    b.close()


def test_ring_full_drops_and_counts():
    with Telemetry(256) as tlm:
        cap = tlm.capacity
        tlm.probe("p")
        for k in range(cap + 10):
            tlm.emit("p", k)
        assert tlm.avail == cap and tlm.dropped == 10 and tlm.emitted("p") == cap
        first = tlm.read(max_records=5)
        assert first["value"].tolist() == [0, 1, 2, 3, 4]
        out = np.zeros(cap, RECORD)
        rest = tlm.read(out=out)
        assert rest.base is out or rest is out
        assert rest["value"].tolist() == list(range(5, cap))
        tlm.emit("p", -1.0)                                     # room again
        assert tlm.read()["value"].tolist() == [-1.0]
        assert tlm.stats() == TelemetryStats(10, cap + 1, cap, 1)


def test_probe_thinning_and_demux(tlm):
    tlm.probe("a", decim=3)
    tlm.probe("b")
    for k in range(1, 8):
        tlm.stamp = k
        tlm.emit("a", k)
        tlm.emit(1, -k)
    values, stamps = tlm.demux(tlm.read(), stamps=True)
    assert values["a"].tolist() == [1, 4, 7] and stamps["a"].tolist() == [1, 4, 7]
    assert values["b"].tolist() == [-k for k in range(1, 8)]
    tlm.set_decim("a", 2)
    tlm.emit("a", 100)                                          # a changed thinning keeps the next call
    assert tlm.read()["value"].tolist() == [100]


def test_growth_keeps_probes_and_counts():
    with Telemetry(1024) as tlm:
        agc = AGC()
        tlm.attach(agc)
        agc.steps(np.ones(80, np.complex64))
        emitted = tlm.emitted("agc.gain_db")
        tlm.resize(1500)
        assert tlm.capacity >= 2048 and tlm.avail == 0 and tlm.dropped == 0
        assert tlm.probe_names == ("agc.gain_db", "agc.level_db") and tlm.emitted("agc.gain_db") == emitted
        agc.steps(np.ones(80, np.complex64))                    # same ids, new ring
        assert tlm.read()["probe"].tolist() == [0, 1] * 10
        tlm.resize(16)                                          # never shrinks
        assert tlm.capacity >= 2048
        with pytest.raises(ValueError):
            tlm.resize(2**63 + 1)


def test_bad_arguments():
    for capacity in (0, 3, -4096):
        with pytest.raises(ValueError, match="power of two"):
            Telemetry(capacity)
    with pytest.raises(ValueError, match="too large"):
        Telemetry(2**62)
    with Telemetry(256) as tlm:
        with pytest.raises(ValueError, match="longer than 31 bytes"):
            tlm.probe("n" * 32)
        assert tlm.probe("n" * 31) == 0
        with pytest.raises(ValueError, match="decim"):
            tlm.probe("x", decim=0)
        with pytest.raises(KeyError):
            tlm.probe_id("missing")
        with pytest.raises(ValueError):
            tlm.emit(7, 1.0)
        with pytest.raises(TypeError):
            tlm.read(out=np.zeros(4, np.float64))


def test_shared_memory_namespace_stays_clean():
    before = shm_entries()
    contexts = [Telemetry(256) for _ in range(20)]
    contexts[0].resize(1 << 16)
    for t in contexts:
        t.close()
    with pytest.raises(ValueError):
        Telemetry(2**62)
    assert shm_entries() == before


def test_consumer_thread_beside_the_producer():
    """A reader thread drains the ring while the main thread runs AGC.steps:
    every record arrives once, in order, and the counts add up."""
    blocks, n, decim = 300, 4096, 8
    with Telemetry(1024) as tlm:
        agc = AGC()
        tlm.attach(agc)
        received = []
        done = threading.Event()

        def consume():
            buf = np.empty(500, RECORD)
            while True:
                finished = done.is_set()
                got = tlm.read(out=buf)
                if len(got):
                    received.append(got.copy())
                elif finished:
                    return

        reader = threading.Thread(target=consume)
        reader.start()
        x = (np.random.default_rng(0).normal(size=n) * 0.3).astype(np.complex64)
        for block in range(blocks):
            tlm.stamp = block
            agc.steps(x)
        done.set()
        reader.join()
        records = np.concatenate(received)
        stats = tlm.stats()
        assert len(records) == stats.emitted
        assert stats.emitted + stats.dropped == blocks * (n // decim) * 2
        assert np.all(np.diff(records["stamp"].astype(np.int64)) >= 0)
        # Without drops a block's records alternate gain, level.
        for block in range(blocks):
            probes = records["probe"][records["stamp"] == block]
            if len(probes) == 2 * (n // decim):
                assert probes.tolist() == [0, 1] * (n // decim)

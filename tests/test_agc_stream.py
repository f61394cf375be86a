"""AGC.stream: any split of a stream gives one steps call's bits, the carry
rules against the exact model, the pending chunk in the state blob, what
drops it, and its telemetry."""

import math
import struct

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import agc_model
from quorvel.agc import AGC
from quorvel.telemetry import Telemetry
from agc_model import model_of
from helpers import noise

PRIMES = [2, 3, 5, 7, 11, 13, 31, 97, 997]


def agc(decim=8, acquire=False, **params):
    a = AGC(**params)
    a.decim, a.acquire = decim, acquire
    return a


def split(x, lengths):
    """x cut into pieces of the given lengths in turn until it is used up
    (the last piece is what is left); lengths all 0: those, then x whole."""
    pieces, start, k = [], 0, 0
    while start < len(x):
        n = lengths[k % len(lengths)] if k < len(lengths) or any(lengths) else len(x)
        pieces.append(x[start:start + n])
        start, k = start + n, k + 1
    return pieces


def streamed(a, pieces, in_place=False):
    out = []
    for p in pieces:
        if in_place:
            buf = p.copy()
            assert a.stream(buf, out=buf) is buf
            out.append(buf)
        else:
            out.append(a.stream(p))
    return np.concatenate(out) if out else np.zeros(0, np.complex64)


def one_call(decim, acquire, x, **params):
    """One steps call over x padded with zeros to whole chunks: a pending
    chunk's samples are ramped as in a full chunk, so they match it too.
    Returns the output for x and the AGC."""
    d = decim or 1
    pad = -len(x) % d
    a = agc(decim, acquire, **params)
    return a.steps(np.concatenate([x, np.zeros(pad, np.complex64)]))[:len(x)], a


def same_record(a, b):
    return a.get_state()[16:120] == b.get_state()[16:120]


def random_lengths(rng, d):
    choices = [0, 1, max(d - 1, 0), d + 1, *PRIMES, 65_537]
    return [int(rng.choice(choices)) for _ in range(int(rng.integers(1, 12)))]


class TestAnySplit:
    @pytest.mark.parametrize("acquire", [False, True])
    @pytest.mark.parametrize("in_place", [False, True])
    def test_equals_one_steps_call(self, acquire, in_place):
        rng = np.random.default_rng(50 + 2 * acquire + in_place)
        for trial in range(24):
            d = int(rng.choice([0, 1, 2, 3, 7, 8, 64, 1000, 4096, int(rng.integers(2, 300))]))
            params = dict(ref_db=float(rng.uniform(-20, 20)), loop_bw=float(rng.uniform(1e-4, 0.01)),
                          alpha=float(rng.uniform(0.01, 1.0)))
            x = noise(int(rng.integers(0, 140_000)) if trial % 6 == 0 else int(rng.integers(0, 3000)),
                      trial, 10 ** rng.uniform(-3, 3))
            whole = x[:len(x) - len(x) % (d or 1)]       # whole chunks: the record matches too
            for data in (x, whole):
                a = agc(d, acquire, **params)
                got = streamed(a, split(data, random_lengths(rng, d or 1)), in_place)
                expected, b = one_call(d, acquire, data, **params)
                assert got.tobytes() == expected.tobytes(), (trial, d)
            assert same_record(a, b) and a.state_bytes() == 120

    @settings(max_examples=60, deadline=None)
    @given(decim=st.integers(0, 70), acquire=st.booleans(), seed=st.integers(0, 2**32 - 1),
           lengths=st.lists(st.integers(0, 200), min_size=1, max_size=12))
    def test_hypothesis(self, decim, acquire, seed, lengths):
        rng = np.random.default_rng(seed)
        params = dict(ref_db=float(rng.uniform(-30, 30)), loop_bw=float(rng.uniform(0, 0.05)),
                      alpha=float(rng.uniform(0, 1.0)))
        x = noise(sum(lengths) + int(rng.integers(0, 3)), seed % 1000, 10 ** rng.uniform(-4, 4))
        if len(x):
            x[rng.integers(0, len(x), 2)] = complex(math.inf, math.nan)
        got = streamed(agc(decim, acquire, **params), split(x, lengths))
        assert got.tobytes() == one_call(decim, acquire, x, **params)[0].tobytes()


class TestCarryRules:
    @pytest.mark.parametrize("acquire", [False, True])
    def test_matches_the_exact_model_with_parameters_changed_between_calls(self, acquire):
        # decim, acquire, clip_db, ref_db and loop_bw change mid-chunk: the
        # pending chunk keeps its length, its update takes the rest as the
        # completing call finds them, every call clips at its own level.
        rng = np.random.default_rng(60 + acquire)
        a = agc(int(rng.integers(2, 9)), acquire, ref_db=-3.0, loop_bw=0.01, alpha=0.2)
        model = model_of(a)
        for k in range(40):
            x = noise(int(rng.choice([0, 1, 2, 3, 5, 9, 17])), 100 + k, 10 ** rng.uniform(-2, 2))
            expected, _ = model.stream(x)
            assert a.stream(x).tobytes() == expected.tobytes(), k
            if k % 3 == 0:
                a.decim = model.decim = int(rng.integers(0, 9))
            if k % 4 == 1:
                a.acquire = model.acquire = not a.acquire
            if k % 5 == 2:
                a.clip_db = model.clip_db = float(rng.uniform(-10, 10))
                a.ref_db = model.ref_db = float(rng.uniform(-10, 10))
                a.loop_bw = model.loop_bw = float(rng.uniform(0, 0.03))
        done = 0 if model.pending is None else model.pending[0]
        assert a.state_bytes() == (152 if done else 120)
        assert struct.unpack("<3d", a.get_state()[64:88]) == (model.gain_db, model.p_avg, model.g_last)

    # Each of these, on an AGC with a pending chunk, leaves it as the same
    # operation leaves one with nothing pending: the pending samples are out,
    # and the loop never measures them.
    DROPS = {
        "steps": lambda a: a.steps(noise(11, 2)),
        "empty steps": lambda a: a.steps(np.zeros(0, np.complex64)),
        "step": lambda a: a.step(0.5 + 1j),
        "reset": lambda a: a.reset(),
        "120-byte blob": lambda a: a.set_state(agc(5, ref_db=2.0).get_state()),
    }

    @pytest.mark.parametrize("name", DROPS)
    def test_what_drops_a_pending_chunk(self, name):
        x = noise(200, 3, 4.0)
        a, b = agc(8), agc(8)
        a.stream(x[:64])
        b.stream(x[:64])
        a.stream(x[64:69])
        assert a.state_bytes() == 152
        self.DROPS[name](a)
        self.DROPS[name](b)
        assert a.state_bytes() == 120 and a.get_state() == b.get_state()
        assert a.stream(x[69:]).tobytes() == b.stream(x[69:]).tobytes()

    def test_applied_gain_is_the_ramp_at_the_latest_sample(self):
        a = agc(8)
        a.stream(np.full(16, 4 + 0j, np.complex64))
        model = model_of(a)
        g_prev, g_new, step = model.ramp(8)
        a.stream(np.full(3, 4 + 0j, np.complex64))
        assert math.isclose(a.applied_gain_db, 20 * math.log10(agc_model.fma(step, 3.0, g_prev)), rel_tol=1e-13)
        assert g_new < 10 ** (a.applied_gain_db / 20) < g_prev

    def test_telemetry_records_one_update_per_completed_chunk(self):
        x = noise(2995, 4)                              # 374 chunks of 8 and 3 samples
        records = []
        for run in (lambda a: a.steps(x[:2992]), lambda a: streamed(a, split(x, [1, 7, 100, 13, 0, 2000]))):
            with Telemetry(1024) as tlm:
                a = agc(8)
                tlm.attach(a)
                run(a)
                records.append(tlm.read())
        assert len(records[0]) == 2 * 374
        assert records[1].tobytes() == records[0].tobytes()


class TestPendingBlob:
    def test_layout_and_restore_mid_chunk(self):
        for acquire in (False, True):
            x = noise(600, 5, 2.0)
            a = agc(16, acquire, loop_bw=0.004)
            a.stream(x[:100])                          # 6 chunks and 4 samples
            blob = a.get_state()
            assert len(blob) == a.state_bytes() == 152
            assert blob[:4] == b"AGC " and blob[4:12] == bytes([4, 0, 1, 0, 152, 0, 0, 0])
            assert blob[104:120] == bytes(16)
            done, length = struct.unpack("<2Q", blob[120:136])
            assert (done, length) == (4, 16)
            a.decim = 3                                # the blob carries the chunk's own length
            expected = a.stream(x[100:])
            b = agc(0, not acquire, ref_db=9.0)
            b.set_state(blob)
            assert b.decim == 16 and b.acquire is acquire
            assert b.get_state() == blob
            b.decim = 3
            assert b.stream(x[100:]).tobytes() == expected.tobytes()
            assert b.get_state() == a.get_state()

    def test_bad_pending_blobs_are_refused_and_change_nothing(self):
        a = agc(8)
        a.stream(noise(13, 8))
        blob = a.get_state()
        v3 = agc(8).get_state()
        bad = [blob[:120] + struct.pack("<2Q", 0, 8) + blob[136:],     # done 0
               blob[:120] + struct.pack("<2Q", 8, 8) + blob[136:],     # done == len
               blob[:120] + struct.pack("<2Q", 9, 0) + blob[136:],     # len 0
               blob[:8] + struct.pack("<I", 120) + blob[12:],           # the header states 120 bytes
               v3[:4] + b"\x04" + v3[5:],                               # version 4 in 120 bytes
               v3[:8] + struct.pack("<I", 152) + v3[12:] + bytes(32)]   # 152 bytes of version 3
        for b in bad:
            with pytest.raises(ValueError, match="^set_state rejected the blob$"):
                a.set_state(b)
            assert a.get_state() == blob
        for size in (119, 121, 151, 153):
            with pytest.raises(ValueError, match="^state blob size mismatch$"):
                a.set_state(blob[:size] + bytes(max(0, size - 152)))

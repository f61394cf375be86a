"""quorvel.agc: the documented numbers, the block path's invariants, the
exact model, out= handling, properties and hostile input."""

import math
import struct

import numpy as np
import pytest

import agc_model
from quorvel.agc import AGC, settling_samples

FIELDS = ["ref_db", "loop_bw", "alpha", "decim", "clip_db", "gain_update_period",
          "gain_db", "p_avg", "g_last", "hold_count"]


def state(agc):
    """The record as the blob carries it, by field name (plus clip_lin)."""
    blob = agc.get_state()
    values = struct.unpack("<3dQdQ3dQ", blob[16:96])
    result = dict(zip(FIELDS, values))
    result["clip_lin"] = struct.unpack("<f", blob[96:100])[0]
    return result


def model_of(agc):
    s = state(agc)
    m = agc_model.Model(s["ref_db"], s["loop_bw"], s["alpha"], s["p_avg"])
    m.decim, m.clip_db, m.period = s["decim"], s["clip_db"], s["gain_update_period"]
    return m


def noise(n, seed=0, scale=1.0):
    rng = np.random.default_rng(seed)
    return ((rng.normal(size=n) + 1j * rng.normal(size=n)) * scale).astype(np.complex64)


class TestDocumentedNumbers:
    def test_first_samples(self):
        agc = AGC()
        assert agc.step(1 + 0j) == 1 + 0j and agc.gain_db == 0.0
        agc = AGC()
        assert agc.step(4 + 0j) == 4 + 0j
        assert round(agc.gain_db, 6) == -0.024276      # the exact log would give -0.024304
        assert state(agc)["p_avg"] == 1.75
        assert state(AGC())["clip_lin"] == 999451.5
        assert AGC().applied_gain_db == 0.0

    def test_block_convergence(self):
        agc = AGC()
        agc.steps(np.full(1000, 4 + 0j, np.complex64))
        assert round(agc.gain_db, 1) == -12.0 and abs(agc.gain_db + 12.0412) < 1e-4
        power = np.abs(agc.steps(np.full(8, 4 + 0j, np.complex64)).astype(np.complex128)) ** 2
        assert np.all(np.round(power, 2) == 1.0)

    def test_quiet_input_grows_and_starts_at_unity(self):
        agc = AGC(0.0, 0.05)
        x = np.full(200, 0.1 + 0j, np.complex64)
        y = agc.steps(x)
        assert y[0] == x[0] and abs(y[-1]) > abs(y[0])

    def test_zeros_overflow_the_gain_at_sample_833(self):
        agc = AGC()
        outputs = [agc.step(0j) for _ in range(833)]
        assert all(y == 0 for y in outputs[:832])
        assert outputs[832] == complex(-999451.5, -999451.5)

    def test_settling_query(self):
        assert settling_samples(0.0025, 0.05, 12.0, 0.5) == 288
        assert settling_samples(0.0025, 0.05, -12.0, 0.5) == 246
        assert settling_samples(loop_bw=0.0025, alpha=1.0, gain_err_db=6.0, tol_db=0.5) > 0
        assert settling_samples(0.0025, 0.05, 0.5, 1.0) == settling_samples(0.0025, 0.05, -1.0, 1.0) == 1
        for args in [(0.0025, 0.0, 12, 0.5), (0.0025, 1.5, 12, 0.5), (0.0, 0.05, 12, 0.5),
                     (0.0025, 0.05, 12, 0.0), (0.0025, 0.05, math.nan, 0.5), (0.0025, 0.05, math.inf, 0.5),
                     (math.nan, 0.05, 12, 0.5), (0.0025, math.nan, 12, 0.5), (1e-300, 0.05, 12, 0.5),
                     (0.0025, 0.05, 12.0, 1e-13), (0.0025, 0.05, 1000.0, 0.5)]:  # never within tol
            assert settling_samples(*args) == 0, args
        for loop_bw in (0.001, 0.01, 0.1):
            k = settling_samples(loop_bw, 0.1, 20.0, 0.25)
            assert 1 <= k <= int(16 / loop_bw) + 1
        with pytest.raises(TypeError):
            settling_samples(0.0025, 0.05, 12.0)


class TestPerSamplePath:
    def test_hold_period(self):
        agc = AGC(0.0, 0.01, 0.5)
        agc.gain_update_period = 4
        gains = []
        for k in range(1, 13):
            agc.step(2 + 0j)
            gains.append(agc.gain_db)
            assert state(agc)["hold_count"] == k % 4
        changed_after = [k + 1 for k in range(12) if gains[k] != (gains[k - 1] if k else 0.0)]
        assert changed_after == [4, 8, 12]

    def test_period_zero_is_one(self):
        a, b = AGC(), AGC()
        a.gain_update_period = 0
        x = noise(50, 1)
        assert [a.step(complex(v)) for v in x] == [b.step(complex(v)) for v in x]

    def test_matches_exact_model(self):
        rng = np.random.default_rng(3)
        for trial in range(20):
            agc = AGC(rng.uniform(-20, 20), rng.uniform(0, 0.02), rng.uniform(0, 1.2))
            agc.gain_update_period = int(rng.integers(0, 5))
            agc.clip_db = float(rng.uniform(-5, 20))
            model = model_of(agc)
            for v in noise(40, trial, 10 ** rng.uniform(-2, 2)):
                assert agc.step(complex(v)) == model.step(complex(v))
            assert agc.gain_db == model.gain_db

    def test_nan_sample_pulls_the_gain_down(self):
        agc = AGC()
        for _ in range(3000):
            agc.step(1 + 0j)
        settled = agc.gain_db
        y = agc.step(complex(math.nan, 1.0))
        assert y.real == -999451.5 and y.imag == 1.0
        assert 7.0 < settled - agc.gain_db < 8.0

    def test_nan_alpha_saturates_the_level(self):
        agc = AGC(0.0, 0.0025, math.nan)
        before = agc.gain_db
        agc.step(1 + 0j)
        step = agc.gain_db - before
        assert math.isclose(step, 4 * 0.0025 * (0.0 - 773.6), rel_tol=1e-4)


class TestBlockPath:
    def test_matches_exact_model(self):
        rng = np.random.default_rng(4)
        for trial in range(25):
            agc = AGC(rng.uniform(-20, 20), rng.uniform(0, 0.01), rng.uniform(0, 1.2))
            agc.decim = int(rng.integers(0, 12))
            agc.clip_db = float(rng.uniform(-5, 20))
            model = model_of(agc)
            x = noise(int(rng.integers(0, 70)), trial, 10 ** rng.uniform(-3, 3))
            x[rng.integers(0, len(x) + 1, 3) % max(len(x), 1)] *= np.float32(1e30) if len(x) else 1
            expected, _ = model.steps(x)
            assert agc.steps(x).tobytes() == expected.tobytes()
            assert agc.gain_db == model.gain_db and state(agc)["g_last"] == model.g_last

    def test_in_place_equals_separate_buffers(self):
        x = noise(1001, 5, 3.0)
        a, b = AGC(), AGC()
        expected = a.steps(x)
        buf = x.copy()
        assert b.steps(buf, out=buf) is buf
        assert buf.tobytes() == expected.tobytes()

    def test_decim_zero_is_one(self):
        a, b = AGC(), AGC()
        a.decim, b.decim = 0, 1
        x = noise(100, 6)
        assert a.steps(x).tobytes() == b.steps(x).tobytes()

    def test_split_into_multiples_of_decim_equals_one_call(self):
        x = noise(4000, 7, 0.3)
        whole = AGC().steps(x)
        agc = AGC()
        cuts = [0, 8, 800, 808, 2400, 4000]
        parts = [agc.steps(x[i:j]) for i, j in zip(cuts, cuts[1:])]
        assert np.concatenate(parts).tobytes() == whole.tobytes()

    def test_chunks_and_short_last_chunk(self):
        agc = AGC()
        model = model_of(agc)
        x = noise(20, 8)
        expected, levels = model.steps(x)
        assert len(levels) == 3                          # 8 + 8 + 4
        assert agc.steps(x).tobytes() == expected.tobytes()
        agc = AGC()
        agc.decim = 50                                   # one short chunk spanning the call
        model = model_of(agc)
        assert agc.steps(x).tobytes() == model.steps(x)[0].tobytes()

    def test_empty_call_changes_nothing(self):
        agc = AGC()
        agc.steps(noise(30, 9))
        blob = agc.get_state()
        out = agc.steps(np.zeros(0, np.complex64))
        assert out.shape == (0,) and out.dtype == np.complex64 and agc.get_state() == blob

    def test_alpha_one_follows_chunk_power(self):
        agc = AGC(alpha=1.0)
        agc.steps(np.full(8, 2 + 0j, np.complex64))
        assert state(agc)["p_avg"] == 4.0

    @pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf, 0.0, 1e-45, 3e38])
    def test_hostile_samples_never_stop_the_loop(self, bad):
        agc = AGC()
        x = noise(64, 10)
        x[::3] = complex(bad, bad)
        x[1::5] = complex(1.0, bad)
        for _ in range(4):
            y = agc.steps(x)
            assert np.all(np.isfinite(y)) and math.isfinite(agc.gain_db)
        clean = agc.steps(noise(20000, 11))
        assert np.all(np.isfinite(clean))

    def test_hostile_parameters_terminate(self):
        agc = AGC()
        agc.alpha = math.nan
        agc.decim = 2**64 - 1
        agc.gain_update_period = -1
        agc.clip_db = math.nan
        agc.loop_bw = math.inf
        x = noise(300, 12)
        agc.steps(x)
        for v in x[:50]:
            agc.step(complex(v))
        assert agc.decim == 2**64 - 1 and agc.gain_update_period == 2**64 - 1


class TestStepsArguments:
    def test_conversions(self):
        agc = AGC()
        assert agc.steps([1 + 0j, 2j]).dtype == np.complex64
        assert agc.steps(np.ones((2, 4), np.complex64)).shape == (8,)
        with pytest.raises(TypeError):
            agc.steps(np.ones(4, np.complex128))     # no forced cast
        assert AGC().step(1.0) == 1 + 0j
        with pytest.raises(TypeError):
            agc.step(x=1.0)

    @pytest.mark.parametrize("bad", [[0j] * 8, np.zeros(8, np.complex128), np.zeros(8, np.float32), "out"])
    def test_out_type(self, bad):
        with pytest.raises(TypeError, match="^out must be a writable ndarray of the output dtype$"):
            AGC().steps(np.zeros(8, np.complex64), out=bad)

    def test_out_read_only_and_length(self):
        ro = np.zeros(8, np.complex64)
        ro.flags.writeable = False
        with pytest.raises(TypeError, match="writable"):
            AGC().steps(np.zeros(8, np.complex64), ro)
        with pytest.raises(ValueError, match="^out length 9 != input length 8$"):
            AGC().steps(np.zeros(8, np.complex64), np.zeros(9, np.complex64))

    def test_out_of_any_layout_receives_the_samples(self):
        x = noise(64, 13)
        expected = AGC().steps(x)
        for out in (np.zeros(128, np.complex64)[::2], np.zeros((8, 8), np.complex64).T,
                    np.zeros(64, ">c8")):
            got = AGC().steps(x, out=out)
            assert got is out
            assert np.array_equal(out.ravel(order="C"), expected)

    def test_out_overlapping_the_input(self):
        x = noise(257, 14)
        expected = AGC().steps(x)
        for shift in (1, 3, -1, -5):
            buf = np.zeros(300, np.complex64)
            start = 20
            buf[start:start + 257] = x
            src, dst = buf[start:start + 257], buf[start + shift:start + shift + 257]
            AGC().steps(src, out=dst)
            assert dst.tobytes() == expected.tobytes(), shift

    def test_out_allocates_nothing_per_call(self):
        import tracemalloc
        agc = AGC()
        x, out = noise(4096, 15), np.empty(4096, np.complex64)
        agc.steps(x, out=out)
        tracemalloc.start()
        for _ in range(200):
            agc.steps(x, out=out)
        current, _ = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        assert current < 4096


class TestProperties:
    def test_defaults_and_construction(self):
        for agc in (AGC(), AGC(ref_db=0.0, loop_bw=0.0025, alpha=0.05)):
            assert (agc.ref_db, agc.loop_bw, agc.alpha, agc.gain_db, agc.applied_gain_db) == \
                (0.0, 0.0025, 0.05, 0.0, 0.0)
            assert (agc.decim, agc.clip_db, agc.gain_update_period) == (8, 120.0, 1)
        agc = AGC(1.0, 0.01)
        assert (agc.ref_db, agc.loop_bw, agc.alpha) == (1.0, 0.01, 0.05)
        with pytest.raises(TypeError):
            AGC("loud")

    def test_setters(self):
        agc = AGC()
        agc.decim = -1
        assert agc.decim == 18446744073709551615
        with pytest.raises(TypeError):
            agc.decim = 2.0
        agc.ref_db = 3                       # anything convertible to float
        assert agc.ref_db == 3.0
        with pytest.raises(AttributeError):
            agc.gain_db = 1.0
        with pytest.raises(AttributeError):
            agc.applied_gain_db = 1.0
        blob = agc.get_state()
        with pytest.raises(TypeError):
            del agc.ref_db
        with pytest.raises(TypeError):
            agc.alpha = "x"
        assert agc.get_state() == blob

    def test_reset(self):
        agc = AGC()
        agc.steps(np.full(1000, 4 + 0j, np.complex64))
        agc.decim, agc.clip_db = 4, 60.0
        agc.ref_db = -10.0
        agc.reset()
        s = state(agc)
        assert (agc.gain_db, agc.applied_gain_db, agc.decim, agc.clip_db) == (0.0, 0.0, 4, 60.0)
        assert math.isclose(s["p_avg"], 0.1, rel_tol=1e-15)
        assert s["clip_lin"] == np.float32(agc_model.db_to_amp(60.0))

    def test_applied_gain_lags_one_update(self):
        agc = AGC()
        agc.step(4 + 0j)
        agc.step(4 + 0j)
        assert agc.applied_gain_db != agc.gain_db
        assert math.isclose(agc.applied_gain_db, 20 * math.log10(agc_model.db_to_amp(-0.024276115291962386)))


class TestStateBlob:
    def test_layout(self):
        blob = AGC().get_state()
        assert len(blob) == 120 and blob[:4] == b"AGC " and blob[4:12] == bytes([3, 0, 1, 0, 120, 0, 0, 0])
        assert blob[100:] == bytes(20)

    def test_restores_parameters_and_output(self):
        a = AGC(-3.0, 0.004, 0.2)
        a.decim, a.clip_db, a.gain_update_period = 5, 10.0, 3
        a.steps(noise(333, 16))
        blob = a.get_state()
        x = noise(500, 17, 2.0)
        expected = a.steps(x)
        b = AGC(7.0, 0.0001, 0.9)
        b.set_state(blob)
        assert (b.ref_db, b.loop_bw, b.alpha, b.decim, b.clip_db, b.gain_update_period) == \
            (-3.0, 0.004, 0.2, 5, 10.0, 3)
        assert b.steps(x).tobytes() == expected.tobytes()
        a.set_state(blob)                        # and into the same object, after it moved on
        assert a.steps(x).tobytes() == expected.tobytes()
        assert a.get_state() == b.get_state()

    def test_header_checks_and_reserved_bytes(self):
        agc = AGC()
        blob = agc.get_state()
        for offset, value in [(0, 0x61), (4, 2), (6, 0), (8, 121)]:
            bad = bytearray(blob)
            bad[offset] = value
            with pytest.raises(ValueError, match="set_state rejected the blob"):
                agc.set_state(bytes(bad))
        kept = bytearray(blob)
        kept[7] = kept[12] = 0xEE
        kept[100:104] = b"\x01\x02\x03\x04"      # reserved, carried through
        kept[104:] = b"\xff" * 16                # ignored on input
        agc.set_state(bytes(kept))
        assert agc.get_state()[100:104] == b"\x01\x02\x03\x04" and agc.get_state()[104:] == bytes(16)

"""quorvel.agc: the documented numbers, the block path's invariants, the
exact model, out= handling, properties and hostile input."""

import math
import struct

import numpy as np
import pytest

import agc_model
from agc_model import model_of, state
from quorvel.agc import AGC, PRESETS, settling_samples
from quorvel.telemetry import Telemetry

from helpers import noise

def with_loop_state(agc, **fields):
    """agc restored from its own blob with some loop fields replaced, as a
    saved blob of any origin may hold them."""
    blob = bytearray(agc.get_state())
    offsets = {"gain_db": 64, "p_avg": 72, "g_last": 80}
    for name, value in fields.items():
        blob[offsets[name]:offsets[name] + 8] = struct.pack("<d", value)
    agc.set_state(bytes(blob))
    return agc


def same_loop_state(agc, model):
    """gain_db, p_avg and g_last equal to the model's, NaN matching NaN."""
    s = state(agc)
    return all(s[k] == getattr(model, k) or (math.isnan(s[k]) and math.isnan(getattr(model, k)))
               for k in ("gain_db", "p_avg", "g_last"))


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

    def test_settling_query(self):
        assert settling_samples(0.0025, 0.05, 12.0, 0.5) == 288
        assert settling_samples(0.0025, 0.05, -12.0, 0.5) == 246
        # The gain overshoots through the band first (to about -77 dB here):
        # the answer is when it stays, not when it first crosses.
        assert settling_samples(0.0025, 0.05, -60.0, 1.0) == 537
        assert settling_samples(0.0125, 0.05, -60.0, 1.0) == 497
        assert settling_samples(0.0025, 0.05, -60.0, 1.0, acquire=False) == 537
        assert settling_samples(0.0025, 0.05, -60.0, 1.0, acquire=True) == 411
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
        with pytest.raises(TypeError):
            settling_samples(0.0025, 0.05, 12.0, 0.5, True)  # acquire is keyword-only

    @pytest.mark.parametrize("acquire", [False, True])
    def test_settling_query_matches_the_exact_model(self, acquire):
        rng = np.random.default_rng(21 + acquire)
        for _ in range(6):
            args = (float(rng.uniform(0.02, 0.1)), float(rng.uniform(0.01, 1.0)),
                    float(rng.choice([-60.0, -40.0, -20.0, 20.0, 40.0])), float(rng.uniform(0.1, 2.0)))
            assert settling_samples(*args, acquire=acquire) == agc_model.settling_samples(*args, acquire), args

    @pytest.mark.parametrize("args", [(0.01, 1.0, 300.5, 1.0), (0.01, 1.0, 1000.0, 1.0),
                                      (0.01, 0.3, -800.0, 1.0)])
    def test_settling_query_stops_at_rest_with_the_full_answer(self, args):
        # Inputs that drive the gain onto a bound, where the loop comes to rest
        # exactly: stopping there gives what running the whole budget gives.
        for acquire in (False, True):
            answer, ran = agc_model.settle(*args, acquire)
            assert ran < int(16 / args[0]) + 1
            assert answer == agc_model.settle(*args, acquire, stop_at_rest=False)[0]
            assert settling_samples(*args, acquire=acquire) == answer

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

    @pytest.mark.parametrize("acquire", [False, True])
    def test_matches_exact_model(self, acquire):
        rng = np.random.default_rng(3 + 10 * acquire)
        for trial in range(20):
            agc = AGC(rng.uniform(-20, 20), rng.uniform(0, 0.02), rng.uniform(0, 1.2))
            agc.gain_update_period = int(rng.integers(0, 5))
            agc.clip_db = float(rng.uniform(-5, 20))
            agc.acquire = acquire
            model = model_of(agc)
            for v in noise(40, trial, 10 ** rng.uniform(-2, 2)):
                assert agc.step(complex(v)) == model.step(complex(v))
            assert same_loop_state(agc, model)

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
    @pytest.mark.parametrize("acquire", [False, True])
    def test_matches_exact_model(self, acquire):
        rng = np.random.default_rng(4 + 10 * acquire)
        for trial in range(25):
            agc = AGC(rng.uniform(-20, 20), rng.uniform(0, 0.01), rng.uniform(0, 1.2))
            agc.decim = int(rng.integers(0, 12))
            agc.clip_db = float(rng.uniform(-5, 20))
            agc.acquire = acquire
            model = model_of(agc)
            x = noise(int(rng.integers(0, 70)), trial, 10 ** rng.uniform(-3, 3))
            if len(x):
                x[rng.integers(0, len(x), 3)] *= np.float32(1e30)
            expected, _ = model.steps(x)
            assert agc.steps(x).tobytes() == expected.tobytes()
            assert same_loop_state(agc, model)

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


def settled_after(y, window=32, tol_db=1.0, ref_db=0.0):
    """Samples until the trailing `window`-sample mean power of y comes within
    tol_db of ref_db and stays there to the end (None if it never does)."""
    power = np.abs(y.astype(np.complex128)) ** 2
    means = np.lib.stride_tricks.sliding_window_view(power, window).mean(axis=1)
    with np.errstate(divide="ignore"):
        outside = np.nonzero(np.abs(10 * np.log10(means) - ref_db) > tol_db)[0]
    if outside.size and outside[-1] == means.size - 1:
        return None
    return window + (int(outside[-1]) + 1 if outside.size else 0)


def qpsk(n, level_db, seed):
    symbols = np.exp(1j * (np.pi / 4 + np.pi / 2 * np.random.default_rng(seed).integers(0, 4, n // 4)))
    return (np.repeat(symbols, 4) * 10 ** (level_db / 20)).astype(np.complex64)


class TestBoundedGain:
    """After every loop update the command is clamped: no more than ref_db +
    300, no less than ref_db - 780, no more than 760."""

    EXTREME_REFS = [-2000.0, -500.0, 459.0, 461.0, 1000.0, 2000.0, math.inf, -math.inf, math.nan]
    RESTORED_GAINS = [7000.0, -7000.0, 760.5, math.inf, -math.inf, math.nan]

    def random_agc(self, rng, acquire):
        ref = float(rng.choice(self.EXTREME_REFS)) if rng.random() < 0.5 else float(rng.uniform(-40, 40))
        agc = AGC(ref, float(rng.choice([0.001, 0.02, 0.3, 5.0, math.inf])), float(rng.uniform(0.01, 1.0)))
        agc.acquire = acquire
        if rng.random() < 0.5:
            with_loop_state(agc, gain_db=float(rng.choice(self.RESTORED_GAINS)))
        return agc

    @staticmethod
    def hostile_block(rng, n):
        """Runs of zeros between samples of any size, NaN, infinities and denormals."""
        x = noise(n, int(rng.integers(1 << 30)), 10 ** rng.uniform(-30, 30))
        x[rng.random(n) < 0.5] = 0
        specials = np.array([math.nan, math.inf, -math.inf, 1e-45, -1e-42, 3e38], np.float32)
        picks = rng.random(n) < 0.05
        x.real[picks] = rng.choice(specials, picks.sum())
        return x

    @pytest.mark.parametrize("acquire", [False, True])
    def test_both_paths_match_the_exact_model_at_the_bounds(self, acquire):
        rng = np.random.default_rng(30 + acquire)
        for _ in range(30):
            agc = self.random_agc(rng, acquire)
            agc.decim = int(rng.integers(1, 10))
            model = model_of(agc)
            x = self.hostile_block(rng, int(rng.integers(1, 60)))
            expected, _ = model.steps(x)
            assert agc.steps(x).tobytes() == expected.tobytes()
            assert same_loop_state(agc, model)
            agc.gain_update_period = int(rng.integers(1, 4))
            model = model_of(agc)
            for v in self.hostile_block(rng, 30):
                assert agc.step(complex(v)).__repr__() == model.step(complex(v)).__repr__()
            assert same_loop_state(agc, model)

    def test_restored_out_of_bounds_gain_is_clamped_at_the_next_update(self):
        for gain in (7000.0, -7000.0):
            for run in (lambda a: a.steps(np.ones(8, np.complex64)), lambda a: a.step(1 + 0j)):
                agc = with_loop_state(AGC(), gain_db=gain)
                assert agc.gain_db == gain          # taken as it is
                run(agc)
                assert agc.gain_db == (300.0 if gain > 0 else -780.0)
        agc = with_loop_state(AGC(), gain_db=math.nan)
        agc.steps(np.ones(16, np.complex64))
        agc.step(1 + 0j)
        assert math.isnan(agc.gain_db)              # plain comparisons: NaN stays NaN

    @pytest.mark.parametrize("acquire", [False, True])
    def test_zeros_give_exact_zeros_on_both_paths_for_any_parameters(self, acquire):
        rng = np.random.default_rng(40 + acquire)
        zeros = np.zeros(20_000, np.complex64)
        for trial in range(40):
            ref = float(rng.choice(self.EXTREME_REFS)) if trial % 2 else float(rng.uniform(-60, 60))
            agc = AGC(ref, float(rng.choice([1e-4, 0.0025, 0.3, 5.0, math.inf])), float(rng.uniform(0.001, 1.0)))
            agc.acquire = acquire
            agc.decim = int(rng.choice([0, 1, 8, 64, 1000]))
            agc.gain_update_period = int(rng.integers(0, 4))
            agc.clip_db = float(rng.choice([120.0, -20.0, 800.0, math.inf, math.nan]))
            if trial % 3 == 0:                      # after a signal, not only from the start
                agc.steps(noise(500, trial, 10 ** rng.uniform(-5, 5)))
            state = agc.get_state()
            out = agc.steps(zeros)
            assert not np.any(out), (trial, ref)
            bound = min(ref + 300.0, 760.0)
            assert not agc.gain_db > bound
            agc.set_state(state)
            assert all(agc.step(0j) == 0 for _ in range(2000)), (trial, ref)
            assert not agc.gain_db > bound

    @pytest.mark.parametrize("ref_db, bound", [(0.0, 300.0), (-20.0, 280.0), (40.0, 340.0), (600.0, 760.0)])
    def test_silence_rests_on_the_upper_bound(self, ref_db, bound):
        for acquire in (False, True):
            a, b = AGC(ref_db), AGC(ref_db)
            a.acquire = b.acquire = acquire
            a.steps(np.zeros(20_000, np.complex64))
            for _ in range(20_000):                 # the detector forgets 1e60 (ref_db 600) first
                b.step(0j)
            assert a.gain_db == b.gain_db == bound

    @pytest.mark.parametrize("level_db", [0.0, -30.0, -60.0])
    def test_recovery_after_silence_starts_from_the_bound(self, level_db):
        x = np.concatenate([np.zeros(20_000, np.complex64), qpsk(24_000, level_db, 5)])
        for acquire, budget in ((False, 3000), (True, 650)):   # 6,800 samples before the bound
            with Telemetry(1 << 14) as tlm:
                agc = AGC()
                agc.acquire = acquire
                tlm.attach(agc, prefix="agc")
                y = agc.steps(x)
                gains = tlm.demux(tlm.read())["agc.gain_db"]
            assert gains.max() == 300.0 and gains[20_000 // 8 - 1] == 300.0
            assert settled_after(y[20_000:]) <= budget
            assert not np.any(y[20_000:] == 0)
        preset = AGC(loop_bw=PRESETS["burst"]["loop_bw"], alpha=PRESETS["burst"]["alpha"])
        preset.decim, preset.acquire = PRESETS["burst"]["decim"], PRESETS["burst"]["acquire"]
        assert settled_after(preset.steps(x)[20_000:]) <= 150


class TestAcquisitionMode:
    def test_property(self):
        agc = AGC()
        assert agc.acquire is False
        agc.acquire = 1
        assert agc.acquire is True
        agc.acquire = []
        assert agc.acquire is False
        blob = agc.get_state()
        with pytest.raises(TypeError):
            del agc.acquire
        assert agc.get_state() == blob

    def test_kept_in_bit_0_of_the_reserved_word_and_restored(self):
        agc = AGC()
        agc.steps(noise(100, 1))
        off = agc.get_state()
        assert off[100:104] == bytes(4)              # off: the blob of before, byte for byte
        agc.acquire = True
        on = agc.get_state()
        assert on[100:104] == b"\x01\x00\x00\x00" and on[:100] == off[:100] and on[104:] == off[104:]
        other = AGC()
        other.set_state(on)
        assert other.acquire is True
        other.reset()                                # configuration, not loop state
        assert other.acquire is True
        other.set_state(off)
        assert other.acquire is False
        other.set_state(off[:100] + b"\x06\x00\x00\x80" + off[104:])
        other.acquire = True                         # the other bits stay as they are
        assert other.get_state()[100:104] == b"\x07\x00\x00\x80"
        other.acquire = False
        assert other.get_state()[100:104] == b"\x06\x00\x00\x80"

    def test_switching_mid_stream_follows_the_model(self):
        x = noise(240, 2, 30.0)
        agc = AGC(-3.0, 0.01, 0.1)
        model = model_of(agc)
        for k, part in enumerate(np.split(x, 6)):
            agc.acquire = model.acquire = bool(k % 2)
            assert agc.steps(part).tobytes() == model.steps(part)[0].tobytes()
            assert agc.step(complex(part[0])) == model.step(complex(part[0]))
        assert same_loop_state(agc, model)

    @pytest.mark.parametrize("path", ["step", "steps"])
    def test_a_loud_onset_brings_no_dip(self, path):
        x = np.concatenate([noise(2000, 3, 10 ** (-75 / 20) / math.sqrt(2)), qpsk(3000, 0.0, 3)])
        lowest = {}
        for acquire in (False, True):
            agc = AGC(loop_bw=0.02, alpha=0.05)
            agc.acquire = acquire
            y = agc.steps(x) if path == "steps" else np.array([agc.step(complex(v)) for v in x], np.complex64)
            power = np.abs(y[2000:].astype(np.complex128)) ** 2
            means = 10 * np.log10(np.lib.stride_tricks.sliding_window_view(power, 64).mean(axis=1))
            lowest[acquire] = means[np.argmax(means >= 0.0):].min()
        assert lowest[False] < -20.0 and lowest[True] > -3.0


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

    @pytest.mark.parametrize("method", ["steps", "stream"])
    @pytest.mark.parametrize("bad", [[0j] * 8, np.zeros(8, np.complex128), np.zeros(8, np.float32), "out"])
    def test_out_type(self, bad, method):
        with pytest.raises(TypeError, match="^out must be a writable ndarray of the output dtype$"):
            getattr(AGC(), method)(np.zeros(8, np.complex64), out=bad)

    @pytest.mark.parametrize("method", ["steps", "stream"])
    def test_out_read_only_and_length(self, method):
        ro = np.zeros(8, np.complex64)
        ro.flags.writeable = False
        with pytest.raises(TypeError, match="writable"):
            getattr(AGC(), method)(np.zeros(8, np.complex64), ro)
        with pytest.raises(ValueError, match="^out length 9 != input length 8$"):
            getattr(AGC(), method)(np.zeros(8, np.complex64), np.zeros(9, np.complex64))

    @pytest.mark.parametrize("method", ["steps", "stream"])
    def test_out_of_any_layout_receives_the_samples(self, method):
        x = noise(64, 13)
        expected = getattr(AGC(), method)(x)
        for out in (np.zeros(128, np.complex64)[::2], np.zeros((8, 8), np.complex64).T,
                    np.zeros(64, ">c8")):
            got = getattr(AGC(), method)(x, out=out)
            assert got is out
            assert np.array_equal(out.ravel(order="C"), expected)

    @pytest.mark.parametrize("method", ["steps", "stream"])
    def test_out_overlapping_the_input(self, method):
        x = noise(257, 14)
        expected = getattr(AGC(), method)(x)
        for shift in (1, 3, -1, -5):
            buf = np.zeros(300, np.complex64)
            start = 20
            buf[start:start + 257] = x
            src, dst = buf[start:start + 257], buf[start + shift:start + shift + 257]
            getattr(AGC(), method)(src, out=dst)
            assert dst.tobytes() == expected.tobytes(), shift

    @pytest.mark.parametrize("method", ["steps", "stream"])
    def test_out_allocates_nothing_per_call(self, method):
        import tracemalloc
        agc = AGC()
        x, out = noise(4093, 15), np.empty(4093, np.complex64)   # stream: a chunk pending at every call
        call = getattr(agc, method)
        call(x, out=out)
        tracemalloc.start()
        for _ in range(200):
            call(x, out=out)
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

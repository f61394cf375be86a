"""The settings for bursts (max_gain_db, gate_db, attack_db): both paths and
stream against the exact model, the bank's rows, the version-5 state blob,
what each setting does at an onset, the settling query, and from_preset."""

import math
import struct

import numpy as np
import pytest

import agc_model
from agc_model import model_of, state
from quorvel.agc import AGC, AGCBank, PRESETS, settling_samples
from quorvel.telemetry import Telemetry

from helpers import noise

OFF = dict(max_gain_db=math.inf, gate_db=-math.inf, attack_db=math.inf)
BURST = ("max_gain_db", "gate_db", "attack_db")


def configure(obj, **settings):
    for name, value in settings.items():
        setattr(obj, name, value)
    return obj


def onsets(rng, n):
    """Silences, noise at -85 dB and bursts at random levels from -70 to 0 dB,
    each a few chunks long, with a NaN or an infinity now and then."""
    x, at = np.zeros(n, np.complex64), 0
    while at < n:
        length = int(rng.integers(1, 80))
        kind = rng.integers(3)
        if kind:
            level = -85.0 if kind == 1 else float(rng.uniform(-70, 0))
            x[at:at + length] = noise(len(x[at:at + length]), int(rng.integers(1 << 30)),
                                      10 ** (level / 20) / math.sqrt(2))
        at += length
    if rng.random() < 0.3:
        x[rng.integers(0, n)] = complex(rng.choice([math.nan, math.inf]), 1.0)
    return x


def random_settings(rng):
    """Each setting off, ordinary, or an extreme (NaN, the other infinity, far out)."""
    def pick(off, ordinary, extremes):
        roll = rng.random()
        return off if roll < 0.3 else ordinary if roll < 0.8 else float(rng.choice(extremes))
    return dict(max_gain_db=pick(math.inf, float(rng.uniform(20, 90)), [math.nan, -math.inf, -900.0, 1e4]),
                gate_db=pick(-math.inf, float(rng.uniform(-90, -60)), [math.nan, math.inf, 900.0]),
                attack_db=pick(math.inf, float(rng.uniform(0, 12)), [math.nan, -math.inf, -3.0]))


def same_loop(agc, model):
    s = state(agc)
    return all(s[k] == getattr(model, k) or (math.isnan(s[k]) and math.isnan(getattr(model, k)))
               for k in ("gain_db", "p_avg", "g_last"))


class TestAgainstTheModel:
    @pytest.mark.parametrize("acquire", [False, True])
    def test_both_paths(self, acquire):
        rng = np.random.default_rng(70 + acquire)
        for trial in range(40):
            agc = AGC(float(rng.uniform(-20, 20)), float(rng.choice([0.001, 0.02, 0.1])), float(rng.uniform(0.02, 1)))
            agc.acquire, agc.decim = acquire, int(rng.choice([1, 3, 8, 16]))
            configure(agc, **random_settings(rng))
            model = model_of(agc)
            x = onsets(rng, int(rng.integers(1, 400)))
            assert agc.steps(x).tobytes() == model.steps(x)[0].tobytes(), trial
            assert same_loop(agc, model), trial
            agc.gain_update_period = int(rng.integers(1, 4))
            model = model_of(agc)
            for v in onsets(rng, 60):
                assert repr(agc.step(complex(v))) == repr(model.step(complex(v))), trial
            assert same_loop(agc, model), trial

    def test_stream_cut_anywhere_and_its_telemetry(self):
        rng = np.random.default_rng(72)
        for trial in range(20):
            settings = dict(random_settings(rng), acquire=bool(trial % 2), decim=int(rng.integers(1, 12)))
            x = onsets(rng, 1200 - 1200 % settings["decim"])                  # whole chunks
            one, cut = configure(AGC(-6.0, 0.02, 0.1), **settings), configure(AGC(-6.0, 0.02, 0.1), **settings)
            with Telemetry(1 << 12) as t1, Telemetry(1 << 12) as t2:
                t1.attach(one)
                t2.attach(cut)
                whole = one.steps(x)
                ends = np.sort(rng.integers(0, len(x), 9))
                parts = np.concatenate([cut.stream(p) for p in np.split(x, ends)])
                a, b = t1.demux(t1.read()), t2.demux(t2.read())
            assert parts.tobytes() == whole.tobytes() and cut.get_state() == one.get_state(), trial
            # one record per update, gated or not, and the same records
            assert len(a["agc.gain_db"]) == len(b["agc.gain_db"]) == len(x) // one.decim
            assert all(np.array_equal(a[k], b[k], equal_nan=True) for k in a)

    def test_each_bank_row_is_an_agc(self):
        rng = np.random.default_rng(73)
        for trial in range(12):
            channels = int(rng.integers(1, 11))
            settings = dict(random_settings(rng), acquire=bool(trial % 2), decim=int(rng.choice([1, 4, 8])))
            bank = configure(AGCBank(channels, -3.0, 0.01, 0.2), **settings)
            agcs = [configure(AGC(-3.0, 0.01, 0.2), **settings) for _ in range(channels)]
            for n, call in ((500, "steps"), (333, "stream"), (91, "stream")):
                x = np.stack([onsets(rng, n) for _ in range(channels)])
                got = getattr(bank, call)(x)
                for c, agc in enumerate(agcs):
                    assert got[c].tobytes() == getattr(agc, call)(x[c]).tobytes(), (trial, c)
                    assert bank.get_state(c) == agc.get_state() or math.isnan(agc.gain_db), (trial, c)


class TestStateBlob:
    def test_version_5_carries_the_settings_and_nothing_moves_with_them_off(self):
        agc = AGC()
        agc.steps(noise(100, 1))
        off = agc.get_state()
        assert len(off) == agc.state_bytes() == 120
        agc.gate_db = -80.0
        on = agc.get_state()
        assert agc.state_bytes() == len(on) == 176
        assert struct.unpack("<4sHBBI", on[:12]) == (b"AGC ", 5, 1, 0, 176)
        assert on[16:120] == off[16:120] and on[120:152] == bytes(32)       # nothing pending
        assert struct.unpack("<3d", on[152:]) == (math.inf, -80.0, math.inf)
        agc.gate_db = -math.inf
        assert agc.get_state() == off                                      # off again: the old blob
        agc.max_gain_db = math.nan                                         # not off, though it acts so
        assert math.isnan(struct.unpack("<d", agc.get_state()[152:160])[0])

    def test_restores_every_way(self):
        saved = configure(AGC(), max_gain_db=50.0, attack_db=6.0)
        saved.stream(noise(5, 2))                                          # a chunk pending
        blob = saved.get_state()
        assert len(blob) == 176 and struct.unpack("<2Q", blob[120:136]) == (5, 8)
        other = AGC()
        other.set_state(blob)
        assert (other.max_gain_db, other.gate_db, other.attack_db) == (50.0, -math.inf, 6.0)
        assert other.stream(noise(40, 3)).tobytes() == saved.stream(noise(40, 3)).tobytes()
        other.set_state(AGC().get_state())                                 # version 3: all off
        assert (other.max_gain_db, other.gate_db, other.attack_db) == (math.inf, -math.inf, math.inf)
        other.set_state(blob)
        plain = AGC()
        plain.stream(noise(3, 4))
        other.set_state(plain.get_state())                                 # version 4: all off, pending kept
        assert other.attack_db == math.inf and other.state_bytes() == 152
        bank = AGCBank(2, 0.0, 0.0025, 0.05)
        configure(bank, max_gain_db=50.0, attack_db=6.0)
        bank.set_state(1, blob)
        assert bank.get_state(1) == blob and bank.state_bytes(0) == 176
        with pytest.raises(ValueError, match="parameters are not the bank's"):
            AGCBank(2).set_state(0, blob)

    @pytest.mark.parametrize("done, length", [(0, 8), (8, 8), (9, 8), (1, 0)])
    def test_a_bad_pending_chunk_is_refused_and_changes_nothing(self, done, length):
        agc = configure(AGC(), gate_db=-70.0)
        blob = bytearray(agc.get_state())
        blob[120:136] = struct.pack("<2Q", done, length)
        target = AGC()
        before = target.get_state()
        with pytest.raises(ValueError):
            target.set_state(bytes(blob))
        assert target.get_state() == before


def burst_after(silence, level_db, n=2000, seed=5):
    x = noise(n, seed, 10 ** (level_db / 20) / math.sqrt(2))
    return np.concatenate([silence, x])


class TestCeiling:
    @pytest.mark.parametrize("ceiling, rests", [(40.0, 40.0), (math.nan, 300.0), (-900.0, -780.0)])
    def test_silence_rests_on_it_on_both_paths(self, ceiling, rests):
        a, b = configure(AGC(), max_gain_db=ceiling), configure(AGC(), max_gain_db=ceiling)
        a.steps(np.zeros(20_000, np.complex64))
        for _ in range(4000):
            b.step(0j)
        assert a.gain_db == b.gain_db == rests               # NaN is no ceiling; none passes ref_db - 780

    def test_lowering_it_holds_at_the_next_update_even_when_gated(self):
        agc = AGC()
        agc.steps(np.full(800, 0.01, np.complex64))                        # +40 dB wanted
        agc.max_gain_db, agc.gate_db = 10.0, -20.0                         # the input is below the gate too
        agc.steps(np.full(8, 0.01, np.complex64))
        assert agc.gain_db == 10.0


class TestGate:
    @pytest.mark.parametrize("path", ["steps", "step"])
    def test_silence_and_noise_below_it_leave_gain_and_detector_alone(self, path):
        agc = configure(AGC(loop_bw=0.01), gate_db=-60.0)
        run = agc.steps if path == "steps" else (lambda x: np.array([agc.step(complex(v)) for v in x]))
        run(noise(3000, 6, 0.1))
        held = state(agc)
        with Telemetry(1 << 12) as tlm:
            tlm.attach(agc)
            run(np.concatenate([np.zeros(500, np.complex64), noise(1500, 7, 10 ** (-75 / 20))]))
            probes = tlm.demux(tlm.read())
        assert (state(agc)["gain_db"], state(agc)["p_avg"]) == (held["gain_db"], held["p_avg"])
        updates = 2000 // (8 if path == "steps" else 1)                    # still one record per update,
        assert len(probes["agc.gain_db"]) == updates                       # the gain and level as held
        assert np.all(probes["agc.gain_db"] == np.float32(held["gain_db"]))
        assert np.all(probes["agc.level_db"] == np.float32(agc_model.level_db(held["p_avg"])))

    def test_compares_the_input_power_under_the_ramp(self):
        # The same input above and below the gate by 0.5 dB, at gains 60 dB apart: only the level decides.
        for gain in (0.0, 60.0):
            for margin, moves in ((0.5, True), (-0.5, False)):
                agc = AGC()
                agc.set_state(agc.get_state()[:64] + struct.pack("<d", gain) + agc.get_state()[72:])
                agc.gate_db = -40.0 - margin
                agc.steps(np.full(16, 0.01, np.complex64))
                assert (agc.gain_db != gain) is moves, (gain, margin)


class TestAttack:
    def test_a_loud_onset_is_too_loud_for_one_chunk_then_gained_flat(self):
        x = burst_after(np.zeros(4000, np.complex64), -30.0)
        agc = configure(AGC(loop_bw=0.02), max_gain_db=90.0, attack_db=6.0)
        y = agc.steps(x)
        gain_db = 20 * np.log10(np.abs(y[4000:]) / np.abs(x[4000:]))
        assert np.all(gain_db[:8] > 80.0) and np.all(gain_db[8:16] < 36.0)   # the onset chunk only
        assert np.ptp(gain_db[8:16]) < 1e-5                                    # no ramp up to the new gain
        assert abs(10 * np.log10(np.mean(np.abs(y[-1000:]) ** 2))) < 0.3

    def test_quiet_steps_keep_the_loops_speed(self):
        x = np.concatenate([noise(2000, 8, 0.5), noise(3000, 9, 0.005)])      # a step 40 dB down
        plain, attacking = AGC(loop_bw=0.01), configure(AGC(loop_bw=0.01), attack_db=10.0)
        plain.steps(x[:2000]), attacking.steps(x[:2000])
        assert attacking.steps(x[2000:]).tobytes() == plain.steps(x[2000:]).tobytes()

    def test_the_settling_query_answers_for_every_setting(self):
        assert settling_samples(0.02, 0.05, -60.0, 1.0, acquire=True) > 50
        assert settling_samples(0.02, 0.05, -60.0, 1.0, attack_db=6.0) == 1    # corrected at once
        assert settling_samples(0.02, 0.05, 60.0, 1.0, attack_db=6.0) == settling_samples(0.02, 0.05, 60.0, 1.0)
        assert settling_samples(0.02, 0.05, 20.0, 1.0, max_gain_db=10.0) == 0  # cannot reach +20 dB
        assert settling_samples(0.02, 0.05, 20.0, 1.0, gate_db=-10.0) == 0     # an input at -20 dB is held
        for args in [(0.02, 0.05, -30.0, 0.5, dict(attack_db=3.0, acquire=True)),
                     (0.01, 0.2, 25.0, 1.0, dict(max_gain_db=24.5, gate_db=-40.0))]:
            assert settling_samples(*args[:4], **args[4]) == agc_model.settling_samples(*args[:4], **args[4])


class TestFromPreset:
    def test_the_preset_with_overrides_bit_for_bit(self):
        x = burst_after(np.zeros(3000, np.complex64), -40.0)
        made = AGC.from_preset("burst", ref_db=-6.0, decim=4)
        by_hand = AGC(ref_db=-6.0, loop_bw=PRESETS["burst"].get("loop_bw", 0.0025),
                      alpha=PRESETS["burst"].get("alpha", 0.05))
        configure(by_hand, **{k: v for k, v in PRESETS["burst"].items() if k not in ("loop_bw", "alpha")})
        by_hand.decim = 4
        assert made.get_state() == by_hand.get_state()
        assert made.steps(x).tobytes() == by_hand.steps(x).tobytes()
        bank = AGCBank.from_preset(3, "burst", ref_db=-6.0, decim=4)
        assert bank.steps(np.stack([x] * 3))[2].tobytes() == AGC.from_preset("burst", ref_db=-6.0,
                                                                             decim=4).steps(x).tobytes()

    def test_refusals(self):
        with pytest.raises(ValueError, match=r"^no preset named 'Burst'; the presets are 'burst'$"):
            AGC.from_preset("Burst")
        with pytest.raises(TypeError, match=r"^'gain' is not a setting of AGC$"):
            AGC.from_preset("burst", gain=3.0)
        with pytest.raises(TypeError, match="'gain_update_period' is not a setting of AGCBank"):
            AGCBank.from_preset(2, "burst", gain_update_period=2)
        with pytest.raises(ValueError, match="channels must be at least 1"):
            AGCBank.from_preset(0, "burst")
        with pytest.raises(TypeError):
            AGC.from_preset("burst", decim=2.0)                           # the property's own check
        assert AGC.from_preset("burst", gain_update_period=3).gain_update_period == 3

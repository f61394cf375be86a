"""An independent model of the AGC loops in exact rational arithmetic.

Every fused multiply-add is computed exactly and rounded once; float32
results are rounded correctly from the exact value. Slow, so only for short
inputs, but it follows the loop's definition step by step and shares no code
with the extension.
"""

import math
import struct
from fractions import Fraction

import numpy as np

CEILING = 2.0 ** 257
FLOOR = 1e-30


def signed_zero(result, exact, a, b, c):
    """The sign IEEE gives a zero result of a*b + c: that of an exact value
    that underflowed; -0 only for -0 + -0; +0 for an exact cancellation."""
    if result != 0:
        return result
    if exact != 0:
        negative = exact < 0
    else:
        negative = a * b == 0 and c == 0 and math.copysign(1.0, a) * math.copysign(1.0, b) < 0 \
            and math.copysign(1.0, c) < 0
    return -abs(result) if negative else abs(result)


def fma(a, b, c):
    """Double fused multiply-add; non-finite operands fall back to IEEE rules."""
    if not all(map(math.isfinite, (a, b, c))):
        return a * b + c
    exact = Fraction(a) * Fraction(b) + Fraction(c)
    return signed_zero(float(exact), exact, a, b, c)


def f32(x):
    """Round a Fraction or float exactly to the nearest float32 (ties to even)."""
    if isinstance(x, float) and not math.isfinite(x):
        return np.float32(x)
    exact = Fraction(x)
    with np.errstate(over="ignore"):
        guess = np.float32(float(exact))
    if not np.isfinite(guess):
        return guess
    best = None
    for cand in (np.nextafter(guess, np.float32(-np.inf)), guess, np.nextafter(guess, np.float32(np.inf))):
        if not np.isfinite(cand):
            continue
        err = abs(Fraction(float(cand)) - exact)
        even = struct.unpack("<I", struct.pack("<f", cand))[0] % 2 == 0
        key = (err, not even)
        if best is None or key < best[0]:
            best = (key, cand)
    return best[1]


def fmaf(a, b, c):
    """float32 fused multiply-add of float32 operands."""
    a, b, c = float(a), float(b), float(c)
    if not all(map(math.isfinite, (a, b, c))):
        return np.float32(a * b + c)  # the result is not finite: no rounding question
    exact = Fraction(a) * Fraction(b) + Fraction(c)
    return signed_zero(f32(exact), exact, a, b, c)


def saturate(v, lo, hi, nan_to):
    if lo <= v <= hi:
        return v
    if v < lo:
        return lo
    if v > hi:
        return hi
    return nan_to


def ema_step(state, x, alpha):
    return x if alpha >= 1 else fma(x - state, alpha, state)


def ema_alpha_decim(alpha, d):
    if d < 2:
        return alpha
    if alpha <= 0:
        return 0.0
    if alpha >= 1:
        return 1.0
    return -math.expm1(d * math.log1p(-alpha))


def fast_pow2(h):
    if not (-1023.0 <= h <= 1023.0):
        h = 1023.0 if h > 1023.0 else -1023.0
    fl = math.floor(h)
    f = h - fl
    l = f * 0.6931471805599453
    q = fma(fma(fma(fma(f, 0.028881132523331052, 0.16666666666666666), l, 0.5), l, 1.0), l, 1.0)
    return q * struct.unpack("<d", struct.pack("<Q", (int(fl) + 1023) << 52))[0]


def db_to_amp(x):
    return fast_pow2(x * 0.16609640474436813)


def power_to_db(t):
    bits = struct.unpack("<Q", struct.pack("<d", t))[0]
    e = float(((bits >> 52) & 0x7FF) - 1023)
    m = struct.unpack("<d", struct.pack("<Q", (bits & ((1 << 52) - 1)) | (1023 << 52)))[0]
    u = (m - 1.0) / (m + 1.0)
    return 3.010299956639812 * fma(u * 2.885390081777927, fma(u * u, 0.3333333333333333, 1.0), e)


def level_db(p_avg):
    return power_to_db(saturate(p_avg + FLOOR, FLOOR, CEILING, CEILING))


def clamp_gain(g, ref_db, max_gain_db=math.inf):
    """The gain command's bounds, as four ordered rules; NaN stays NaN (a NaN
    ceiling is none)."""
    if g > ref_db + 300.0:
        g = ref_db + 300.0
    if g > max_gain_db:
        g = max_gain_db
    if g < ref_db - 780.0:
        g = ref_db - 780.0
    if g > 760.0:
        g = 760.0
    return g


def follow(p_avg, g_from, g_to):
    """The acquisition mode's detector, re-referred from gain g_from to g_to."""
    if not g_from > 0.0:
        return p_avg
    rho = g_to / g_from
    return saturate(p_avg * (rho * rho), 0.0, CEILING, CEILING)


def clip(y, c):
    def max_num(a, b):
        return a if (a >= b or b != b) else b

    def min_num(a, b):
        return a if (a <= b or b != b) else b
    r = min_num(max_num(float(y.real), -c), c)
    i = min_num(max_num(float(y.imag), -c), c)
    return complex(float(fmaf(i, 0.0, r)), float(np.float32(i)))


class Model:
    def __init__(self, ref_db=0.0, loop_bw=0.0025, alpha=0.05, p_seed=None):
        """p_seed: the detector's start, the maths library's exp10(ref_db/10),
        which may differ from Python's 10**x in the last bit."""
        self.ref_db, self.loop_bw, self.alpha = ref_db, loop_bw, alpha
        self.decim, self.clip_db, self.period, self.acquire = 8, 120.0, 1, False
        self.max_gain_db, self.gate_db, self.attack_db = math.inf, -math.inf, math.inf
        self.gain_db, self.g_last, self.hold = 0.0, 1.0, 0
        self.p_avg = 10.0 ** (ref_db * 0.1) if p_seed is None else p_seed
        self.clip_lin = float(np.float32(db_to_amp(120.0)))

    def gain(self):
        """The float gain of the next sample (refreshed after each update)."""
        if self.hold == 0:
            self.g_last = db_to_amp(self.gain_db)
        return np.float32(self.g_last)

    def onset(self):
        """Whether the gate or the fast attack is on."""
        return self.gate_db > -math.inf or self.attack_db < math.inf

    def gate_power(self):
        t = db_to_amp(self.gate_db)
        return t * t

    def measure(self, yr, yi, g):
        """Detector on a sample gained by g, then every P samples the loop
        update: held below the gate, a fast attack above ref_db + attack_db."""
        period = self.period or 1
        p = saturate(fma(float(yr), float(yr), float(yi) * float(yi)), 0.0, CEILING, CEILING)
        onset = self.onset()
        gated = onset and p < self.gate_power() * (float(g) * float(g))
        if not gated:
            self.p_avg = ema_step(self.p_avg, p, self.alpha)
        self.hold += 1
        if self.hold >= period:
            attack = False
            if gated:
                command = self.gain_db
            else:
                own = level_db(p) if onset else 0.0
                attack = onset and own - self.ref_db > self.attack_db
                if attack:
                    command = self.gain_db + (self.ref_db - own)
                    self.p_avg = p
                else:
                    command = fma(period * (4.0 * self.loop_bw), self.ref_db - level_db(self.p_avg), self.gain_db)
            self.gain_db = clamp_gain(command, self.ref_db, self.max_gain_db)
            if attack or self.acquire:
                self.p_avg = follow(self.p_avg, self.g_last, db_to_amp(self.gain_db))
            self.clip_lin = float(np.float32(db_to_amp(self.clip_db)))
            self.hold = 0

    def step(self, x):
        self.pending = None
        g = self.gain()
        with np.errstate(over="ignore", invalid="ignore"):  # float products of any size, as IEEE has them
            yr, yi = np.float32(x.real) * g, np.float32(x.imag) * g
        self.measure(yr, yi, g)
        return clip(complex(yr, yi), self.clip_lin)

    def ramp(self, n):
        """The gain ramp of a chunk of n samples from the loop state as it stands."""
        g_prev, g_new = self.g_last, db_to_amp(self.gain_db)
        return g_prev, g_new, (g_new - g_prev) * (1.0 / n)

    def chunk_samples(self, samples, first, n, ramp, partial, clip_level):
        """Samples first, first + 1, ... of a chunk of n under its ramp: their
        squares onto the partial sums (component k onto sum k mod 4), but those
        of an odd chunk's last sample, which are returned; and the clipped output."""
        g_prev, _, step = ramp
        ys = []
        with np.errstate(over="ignore", invalid="ignore"):
            for i, s in enumerate(samples, first):
                g = np.float32(fma(step, float(i + 1), g_prev))
                ys.append((i, np.float32(s.real) * g, np.float32(s.imag) * g))
        odd = []
        for i, yr, yi in ys:
            if n % 2 and i == n - 1:
                odd = [yr, yi]
                continue
            for k, comp in enumerate((yr, yi), 2 * i):
                partial[k % 4] = fmaf(comp, comp, partial[k % 4])
        return [clip(complex(yr, yi), clip_level) for _, yr, yi in ys], odd

    def update(self, n, ramp, partial, odd):
        """The loop update of a complete chunk of n samples; returns the level."""
        g_prev, g_new, step = ramp
        with np.errstate(over="ignore"):
            total = np.float32((partial[0] + partial[1]) + (partial[2] + partial[3]))
        for comp in odd:
            total = fmaf(comp, comp, total)
        mean = saturate((1.0 / n) * float(total), 0.0, CEILING, CEILING)
        gated = attack = False
        if self.acquire or self.onset():
            # the mean of (g_prev + step i)^2 over the ramp i = 1 .. n
            u = float(n) + 1.0
            v = (u * (2.0 * float(n) + 1.0)) / 6.0
            ms = fma(g_prev, g_prev, step * fma(step, v, g_prev * u))
            referred = saturate(mean * ((g_new * g_new) / ms), 0.0, CEILING, CEILING) if ms > 0.0 else mean
            if self.onset():
                gated = mean < self.gate_power() * ms
                own = level_db(referred)
                attack = not gated and own - self.ref_db > self.attack_db
                if gated:
                    level, command = level_db(self.p_avg), self.gain_db
                elif attack:
                    level, command = own, self.gain_db + (self.ref_db - own)
                    self.p_avg = referred
            if self.acquire:
                mean = referred
        if not (gated or attack):
            self.p_avg = ema_step(self.p_avg, mean, ema_alpha_decim(self.alpha, n))
            level = level_db(self.p_avg)
            command = fma(self.ref_db - level, ema_alpha_decim(4.0 * self.loop_bw, n), self.gain_db)
        self.gain_db = clamp_gain(command, self.ref_db, self.max_gain_db)
        if self.acquire or attack:
            self.p_avg = follow(self.p_avg, g_new, db_to_amp(self.gain_db))
        # after a fast attack the next chunk starts on the new gain, without a ramp
        self.g_last = db_to_amp(self.gain_db) if attack else g_new
        return level

    def steps(self, x):
        """The block path; returns the output and the levels of every update."""
        self.pending = None
        d = self.decim or 1
        c = float(np.float32(db_to_amp(self.clip_db)))
        out, levels = [], []
        for off in range(0, len(x), d):
            n = len(x[off:off + d])
            ramp, partial = self.ramp(n), [np.float32(0)] * 4
            ys, odd = self.chunk_samples(x[off:off + d], 0, n, ramp, partial, c)
            out.extend(ys)
            levels.append(self.update(n, ramp, partial, odd))
        return np.array(out, dtype=np.complex64), levels

    pending = None  # (samples done, chunk length, partial sums) of stream

    def stream(self, x):
        """The block path with its chunk grid carried across calls."""
        c = float(np.float32(db_to_amp(self.clip_db)))
        out, levels, off = [], [], 0
        while off < len(x):
            done, n, partial = self.pending or (0, self.decim or 1, [np.float32(0)] * 4)
            take = min(n - done, len(x) - off)
            ramp = self.ramp(n)
            ys, odd = self.chunk_samples(x[off:off + take], done, n, ramp, partial, c)
            out.extend(ys)
            off += take
            self.pending = (done + take, n, partial)
            if done + take == n:
                levels.append(self.update(n, ramp, partial, odd))
                self.pending = None
        return np.array(out, dtype=np.complex64), levels


def settle(loop_bw, alpha, gain_err_db, tol_db, acquire=False, stop_at_rest=True, **burst):
    """The settling query for valid arguments, and how many steps it ran: the
    per-sample loop against a constant input, counting the steps after which
    the gain stays in the band through the end of the budget, or (with
    stop_at_rest) through the first step that changes nothing."""
    if abs(gain_err_db) <= tol_db:
        return 1, 0
    m = Model(0.0, loop_bw, alpha, p_seed=1.0)
    m.acquire = acquire
    for name, value in burst.items():  # max_gain_db, gate_db, attack_db
        setattr(m, name, value)
    amplitude = f32(10.0 ** (-gain_err_db / 20.0))
    settled = 0
    for k in range(1, int(16.0 / loop_bw) + 2):
        before = struct.pack("<3d", m.gain_db, m.p_avg, m.g_last)
        g = m.gain()
        ga = g * amplitude
        m.measure(ga * np.float32(0.6), ga * np.float32(0.8), g)
        inside = abs(m.gain_db - gain_err_db) <= tol_db
        settled = (settled or k) if inside else 0
        if stop_at_rest and struct.pack("<3d", m.gain_db, m.p_avg, m.g_last) == before:
            break
    return settled, k


def settling_samples(loop_bw, alpha, gain_err_db, tol_db, acquire=False, **burst):
    return settle(loop_bw, alpha, gain_err_db, tol_db, acquire, **burst)[0]


# -- an AGC's record, and the model of it ----------------------------------------

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
    m = Model(s["ref_db"], s["loop_bw"], s["alpha"], s["p_avg"])
    m.decim, m.clip_db, m.period, m.acquire = s["decim"], s["clip_db"], s["gain_update_period"], agc.acquire
    m.max_gain_db, m.gate_db, m.attack_db = agc.max_gain_db, agc.gate_db, agc.attack_db
    m.gain_db, m.g_last, m.hold, m.clip_lin = s["gain_db"], s["g_last"], s["hold_count"], s["clip_lin"]
    return m

// The AGC's loop arithmetic: the fast dB conversions, the gain bounds, the
// telemetry hook, the block path's per-chunk loop update chunk_update and the
// exact per-sample step agc_step. The block path compiles this header once
// per instruction set and the binding inlines agc_step, so everything here
// has internal linkage.
#pragma once

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>
#include <cmath>
#include <cstdint>

#include "agc/agc_core.h"

namespace qv::agc {
namespace {

constexpr double kPowerCeiling = 0x1p257;
constexpr double kLevelFloor = 1e-30;  // -300 dB

// 2^h: a degree-4 Taylor polynomial of e^(f ln2) times 2^floor(h), with h
// clamped to [-1023, 1023] (NaN to -1023, where the result is 0). The
// constants are part of the behaviour and are used exactly as written.
inline double fast_pow2(double h) {
    if (!(h >= -1023.0 && h <= 1023.0)) h = h > 1023.0 ? 1023.0 : -1023.0;
    const double fl = std::floor(h);
    const double f = h - fl;
    const double l = f * 0.6931471805599453;
    const double q = std::fma(
        std::fma(std::fma(std::fma(f, 0.028881132523331052, 0.16666666666666666), l, 0.5), l, 1.0), l, 1.0);
    return q * std::bit_cast<double>(uint64_t(int64_t(fl) + 1023) << 52);
}

// Linear amplitude of x dB.
inline double db_to_amp(double x) { return fast_pow2(x * 0.16609640474436813); }

// t's mantissa under the exponent of 1.0: a double in [1, 2). On x86-64 it
// is formed in a vector register: the block path's loop waits on it, and a
// round trip through an integer register is slower there.
inline double mantissa(double t) {
#if defined(__SSE2__)
    const __m128d fraction = _mm_and_pd(_mm_set_sd(t), _mm_castsi128_pd(_mm_cvtsi64_si128(0x000fffffffffffff)));
    return _mm_cvtsd_f64(_mm_or_pd(fraction, _mm_set_sd(1.0)));
#else
    return std::bit_cast<double>((std::bit_cast<uint64_t>(t) & 0x000fffffffffffff) | 0x3ff0000000000000);
#endif
}

// log2(t) for a positive normal t: exponent plus an atanh series of the mantissa.
inline double fast_log2(double t) {
    const uint64_t bits = std::bit_cast<uint64_t>(t);
    const double e = double(int64_t(bits >> 52 & 0x7ff) - 1023);
    const double m = mantissa(t);
    const double u = (m - 1.0) / (m + 1.0);
    return std::fma(u * 2.885390081777927, std::fma(u * u, 0.3333333333333333, 1.0), e);
}

// dB of a power; callers saturate t into [1e-30, 2^257] first.
inline double power_to_db(double t) { return 3.010299956639812 * fast_log2(t); }

// The level the detector state stands for, bounded to [-300, ~773.6] dB.
inline double level_db(double p_avg) {
    return power_to_db(qv::saturate(p_avg + kLevelFloor, kLevelFloor, kPowerCeiling, kPowerCeiling));
}

// The bounds of the gain command, applied after every loop update on both
// paths. In this order: no more than ref_db + 300 (the level's floor, -300 dB,
// can never ask for more) and no more than max_gain_db (a NaN ceiling is
// none), no less than ref_db - 780 (the power ceiling is about +773.6 dB), no
// more than 760 (db_to_amp(760) = 1e38 stays finite in float whatever ref_db
// is). The rules come to two comparisons against bounds formed once per call
// (per update on the per-sample path); plain comparisons, so NaN stays NaN.
struct GainBounds {
    double lo, hi;
};

inline GainBounds gain_bounds(const agc_t *a) {
    const double up = a->ref_db + 300.0, down = a->ref_db - 780.0;
    const double hi = up < 760.0 ? up : 760.0;
    return {down > 760.0 ? 760.0 : down, a->max_gain_db < hi ? a->max_gain_db : hi};
}

inline double clamp_gain(double gain_db, GainBounds b) {
    if (gain_db > b.hi) gain_db = b.hi;
    if (gain_db < b.lo) gain_db = b.lo;
    return gain_db;
}

// Whether the gate or the fast attack is on: the loops take their updates'
// extra tests only then (the ceiling is in the bounds, at no cost).
inline bool onset_on(const agc_t *a) { return a->gate_db > QV_AGC_GATE_OFF || a->attack_db < QV_AGC_ATTACK_OFF; }

// The gate as a power: an update whose samples' input power is below it
// holds. 0, which nothing is below, for no gate (-inf or NaN).
inline double gate_power(const agc_t *a) {
    const double t = db_to_amp(a->gate_db);
    return t * t;
}

// The acquisition mode's detector: its state re-referred from the linear gain
// g_from that its samples saw to the gain g_to that the loop applies next, so
// that it measures the output the loop is about to produce rather than what
// the old gain made. Once the command rests (at a bound, say) the ratio is
// exactly 1 and nothing moves.
inline void follow_gain(agc_t *a, double g_from, double g_to) {
    if (!(g_from > 0.0)) return;
    const double rho = g_to / g_from;
    a->p_avg = qv::saturate(a->p_avg * (rho * rho), 0.0, kPowerCeiling, kPowerCeiling);
}

// Runs after every loop update, on both paths: the new gain command, then the
// level this update answered. Detached, it is one null test. (A bank's
// update passes the command it holds in a register.)
inline void telemetry_record(agc_t *a, double gain_db, double level) {
    if (!a->tlm) return;
    if (a->gain_probe < QV_TLM_MAX_PROBES) qv_tlm_emit(a->tlm, a->gain_probe, gain_db);
    // tlm read again, not reused: a detach between the two emits stops the second.
    if (a->tlm && a->level_probe < QV_TLM_MAX_PROBES) qv_tlm_emit(a->tlm, a->level_probe, level);
}

inline void telemetry_hook(agc_t *a, double level) { telemetry_record(a, a->gain_db, level); }

// The per-sample loop in two halves, so that the settling query can form its
// gained sample its own way. First: the linear gain for this sample, refreshed
// from the command at the first sample after each update (a zero-order hold).
inline float sample_gain(agc_t *a) {
    if (a->hold_count == 0) a->g_last = db_to_amp(a->gain_db);
    return float(a->g_last);
}

// Second: detector on the sample y gained by g, then every P samples the
// loop update. The gate and the fast attack look at each sample's own power:
// a sample whose input power (|y|^2 against gate_power g^2) is below the gate
// leaves the detector as it is, and when it completes a period the update
// holds the gain (the bounds still apply). Otherwise a completing sample
// whose level exceeds ref_db by more than attack_db makes a fast attack: the
// command drops by the whole excess and the detector restarts from that
// sample's power, re-referred to the new gain.
inline void measure_sample(agc_t *a, float yr, float yi, float g) {
    const uint64_t period = a->gain_update_period ? a->gain_update_period : 1;
    const double p = qv::saturate(std::fma(double(yr), double(yr), double(yi) * double(yi)), 0.0, kPowerCeiling,
                                  kPowerCeiling);
    const bool onset = onset_on(a);
    const bool gated = onset && p < gate_power(a) * (double(g) * double(g));
    if (!gated) a->p_avg = qv::ema_step(a->p_avg, p, a->alpha);
    if (++a->hold_count >= period) {
        double level = 0.0, command = 0.0;
        bool attack = false;
        if (gated) {
            level = level_db(a->p_avg);
            command = a->gain_db;
        } else {
            const double own = onset ? level_db(p) : 0.0;
            attack = onset && own - a->ref_db > a->attack_db;
            if (attack) {
                level = own;
                command = a->gain_db + (a->ref_db - own);
                a->p_avg = p;
            } else {
                level = level_db(a->p_avg);
                command = std::fma(double(period) * (4.0 * a->loop_bw), a->ref_db - level, a->gain_db);
            }
        }
        a->gain_db = clamp_gain(command, gain_bounds(a));
        // Every sample since the last update saw g_last (the gain is held).
        if (attack || (a->flags & QV_AGC_ACQUIRE)) follow_gain(a, a->g_last, db_to_amp(a->gain_db));
        a->clip_lin = float(db_to_amp(a->clip_db));
        a->hold_count = 0;
        telemetry_hook(a, level);
    }
}

// What a chunk's length fixes, formed once per call (and once more for a
// shorter last chunk): the divisor of its mean, the detector coefficient and
// loop gain compounded over it, and the moments of its ramp.
struct ChunkShape {
    double r;         // 1 / len
    double detector;  // ema_alpha_decim(alpha, len)
    double loop;      // ema_alpha_decim(4 loop_bw, len)
    double u, v;      // len + 1 and (len + 1)(2 len + 1) / 6
};

inline ChunkShape shape_for(const agc_t *a, uint64_t len) {
    const double u = double(len) + 1.0;
    return {1.0 / double(len), qv::ema_alpha_decim(a->alpha, len), qv::ema_alpha_decim(4.0 * a->loop_bw, len), u,
            (u * (2.0 * double(len) + 1.0)) / 6.0};
}

// What a call fixes for the loop updates of all its chunks.
struct CallRules {
    GainBounds bounds;
    double gate_power;  // gate_power(a)
    double attack_db;
};

inline CallRules rules_for(const agc_t *a) { return {gain_bounds(a), gate_power(a), a->attack_db}; }

// The block path's loop update for one chunk, whose gain ramped from g_prev by
// `step` per sample up to g_new and whose gained samples have the power sum
// S: detector, level, integrator, clamp, (in the acquisition mode) the
// detector's re-reference, telemetry. Returns db_to_amp of the new command,
// the next chunk's g_new. The clamp is a branch that a loop far from its
// bounds never takes, off the path from one command to the next.
//
// With `onset` (the gate or the fast attack on) the chunk's mean is also
// taken as the input power it stands for: over the mean square ms of the
// ramp's gains, and at the gain the chunk ended on, mean g_new^2 / ms. A
// chunk below the gate (mean < gate_power ms) holds the detector and the
// command; a chunk whose own level at g_new exceeds ref_db by more than
// attack_db drops the command by that excess, restarts the detector from the
// chunk re-referred to the new gain, and sets `restart`: the next chunk is
// gained by the new gain from its first sample instead of ramping to it.
template <bool acquire, bool onset = false>
inline double chunk_update(agc_t *a, float power_sum, const ChunkShape &k, const CallRules &rules, double g_prev,
                           double step, double g_new, bool &restart) {
    double mean = qv::saturate(k.r * double(power_sum), 0.0, kPowerCeiling, kPowerCeiling);
    bool gated = false, attack = false;
    double level = 0.0, command = 0.0;
    if constexpr (acquire || onset) {
        // The mean was taken under the ramp: refer it to the gain the chunk
        // ended on. ms is the mean of (g_prev + step i)^2 over i = 1 .. len.
        const double ms = std::fma(g_prev, g_prev, step * std::fma(step, k.v, g_prev * k.u));
        const double referred =
            ms > 0.0 ? qv::saturate(mean * ((g_new * g_new) / ms), 0.0, kPowerCeiling, kPowerCeiling) : mean;
        if constexpr (onset) {
            gated = mean < rules.gate_power * ms;
            const double own = level_db(referred);
            attack = !gated && own - a->ref_db > rules.attack_db;
            if (gated) {
                level = level_db(a->p_avg);
                command = a->gain_db;
            } else if (attack) {
                level = own;
                command = a->gain_db + (a->ref_db - own);
                a->p_avg = referred;
            }
        }
        if constexpr (acquire) mean = referred;
    }
    if (!gated && !attack) {
        a->p_avg = qv::ema_step(a->p_avg, mean, k.detector);
        level = level_db(a->p_avg);
        command = std::fma(a->ref_db - level, k.loop, a->gain_db);
    }
    double g_next = db_to_amp(command);
    if (!(command <= rules.bounds.hi && command >= rules.bounds.lo)) [[unlikely]] {
        command = clamp_gain(command, rules.bounds);
        g_next = db_to_amp(command);
    }
    a->gain_db = command;
    if (acquire || attack) follow_gain(a, g_new, g_next);
    restart = attack;
    telemetry_hook(a, level);
    return g_next;
}

// One sample through the exact per-sample loop: gain, detector, loop filter,
// then the clip (so clipping never disturbs the measurement). It moves the
// loop state a pending chunk of the block path's stream stands on, so it
// drops that chunk.
inline qv_cf32 agc_step(agc_t *a, qv_cf32 x) {
    a->pending = agc_pending_t{};
    const float g = sample_gain(a);
    const float yr = x.real() * g, yi = x.imag() * g;
    measure_sample(a, yr, yi, g);
    return qv::square_clip({yr, yi}, a->clip_lin);
}

}  // namespace
}  // namespace qv::agc

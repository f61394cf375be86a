// The AGC's loop arithmetic: the fast dB conversions, the gain bounds, the
// telemetry hook, the block path's per-chunk loop update chunk_update and the
// exact per-sample step agc_step. The block path compiles this header once
// per instruction set and the binding inlines agc_step, so everything here
// has internal linkage.
#pragma once

#include <emmintrin.h>

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

// log2(t) for a positive normal t: exponent plus an atanh series of the
// mantissa. The mantissa m is formed in a vector register: the block path's
// loop waits on it, and a round trip through an integer register is slower.
inline double fast_log2(double t) {
    const uint64_t bits = std::bit_cast<uint64_t>(t);
    const double e = double(int64_t(bits >> 52 & 0x7ff) - 1023);
    const __m128d fraction = _mm_and_pd(_mm_set_sd(t), _mm_castsi128_pd(_mm_cvtsi64_si128(0x000fffffffffffff)));
    const double m = _mm_cvtsd_f64(_mm_or_pd(fraction, _mm_set_sd(1.0)));  // same exponent as 1.0
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
// can never ask for more), no less than ref_db - 780 (the power ceiling is
// about +773.6 dB), no more than 760 (db_to_amp(760) = 1e38 stays finite in
// float whatever ref_db is). The three rules come to two comparisons against
// bounds formed once per ref_db; plain comparisons, so NaN stays NaN.
struct GainBounds {
    double lo, hi;
};

inline GainBounds gain_bounds(double ref_db) {
    const double up = ref_db + 300.0, down = ref_db - 780.0;
    return {down > 760.0 ? 760.0 : down, up < 760.0 ? up : 760.0};
}

inline double clamp_gain(double gain_db, GainBounds b) {
    if (gain_db > b.hi) gain_db = b.hi;
    if (gain_db < b.lo) gain_db = b.lo;
    return gain_db;
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

// Second: detector on the gained sample, then every P samples the loop update.
inline void measure_sample(agc_t *a, float yr, float yi) {
    const uint64_t period = a->gain_update_period ? a->gain_update_period : 1;
    const double p = std::fma(double(yr), double(yr), double(yi) * double(yi));
    a->p_avg = qv::ema_step(a->p_avg, qv::saturate(p, 0.0, kPowerCeiling, kPowerCeiling), a->alpha);
    if (++a->hold_count >= period) {
        const double level = level_db(a->p_avg);
        const double command = std::fma(double(period) * (4.0 * a->loop_bw), a->ref_db - level, a->gain_db);
        a->gain_db = clamp_gain(command, gain_bounds(a->ref_db));
        // Every sample since the last update saw g_last (the gain is held).
        if (a->flags & QV_AGC_ACQUIRE) follow_gain(a, a->g_last, db_to_amp(a->gain_db));
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

// The block path's loop update for one chunk, whose gain ramped from g_prev by
// `step` per sample up to g_new and whose gained samples have the power sum
// S: detector, level, integrator, clamp, (in the acquisition mode) the
// detector's re-reference, telemetry. Returns db_to_amp of the new command,
// the next chunk's g_new. The clamp is a branch that a loop far from its
// bounds never takes, off the path from one command to the next.
template <bool acquire>
inline double chunk_update(agc_t *a, float power_sum, const ChunkShape &k, GainBounds bounds, double g_prev,
                           double step, double g_new) {
    double mean = qv::saturate(k.r * double(power_sum), 0.0, kPowerCeiling, kPowerCeiling);
    if constexpr (acquire) {
        // The mean was taken under the ramp: refer it to the gain the chunk
        // ended on. ms is the mean of (g_prev + step i)^2 over i = 1 .. len.
        const double ms = std::fma(g_prev, g_prev, step * std::fma(step, k.v, g_prev * k.u));
        if (ms > 0.0) mean = qv::saturate(mean * ((g_new * g_new) / ms), 0.0, kPowerCeiling, kPowerCeiling);
    }
    a->p_avg = qv::ema_step(a->p_avg, mean, k.detector);
    const double level = level_db(a->p_avg);
    double command = std::fma(a->ref_db - level, k.loop, a->gain_db);
    double g_next = db_to_amp(command);
    if (!(command <= bounds.hi && command >= bounds.lo)) [[unlikely]] {
        command = clamp_gain(command, bounds);
        g_next = db_to_amp(command);
    }
    a->gain_db = command;
    if constexpr (acquire) follow_gain(a, g_new, g_next);
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
    measure_sample(a, yr, yi);
    return qv::square_clip({yr, yi}, a->clip_lin);
}

}  // namespace
}  // namespace qv::agc

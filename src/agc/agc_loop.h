// The AGC's loop arithmetic: the fast dB conversions, the telemetry hook and
// the exact per-sample step agc_step. The block path compiles this header
// once per instruction set and the binding inlines agc_step, so everything
// here has internal linkage.
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

// Runs after every loop update, on both paths: the new gain command, then the
// level this update answered. Detached, it is one null test.
inline void telemetry_hook(agc_t *a, double level) {
    if (!a->tlm) return;
    if (a->gain_probe < QV_TLM_MAX_PROBES) qv_tlm_emit(a->tlm, a->gain_probe, a->gain_db);
    // Read again, not reused from the test above: a detach that lands between
    // the two emits must stop the second one, which would otherwise write into
    // a context its owner may already have freed. One thread stepping the AGC
    // never sees tlm change here; the second read is still required.
    if (a->tlm && a->level_probe < QV_TLM_MAX_PROBES) qv_tlm_emit(a->tlm, a->level_probe, level);
}

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
        a->gain_db = std::fma(double(period) * (4.0 * a->loop_bw), a->ref_db - level, a->gain_db);
        a->clip_lin = float(db_to_amp(a->clip_db));
        a->hold_count = 0;
        telemetry_hook(a, level);
    }
}

// One sample through the exact per-sample loop: gain, detector, loop filter,
// then the clip (so clipping never disturbs the measurement).
inline qv_cf32 agc_step(agc_t *a, qv_cf32 x) {
    const float g = sample_gain(a);
    const float yr = x.real() * g, yi = x.imag() * g;
    measure_sample(a, yr, yi);
    return qv::square_clip({yr, yi}, a->clip_lin);
}

}  // namespace
}  // namespace qv::agc

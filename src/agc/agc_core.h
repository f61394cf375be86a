// Log-domain feedback AGC for complex64 samples: the record, the fast dB
// conversions, and the exact per-sample step. The loop multiplies each sample
// by a linear gain derived from a command held in dB, measures the gained power
// with a moving-average detector, and integrates ref_db - level_db into the
// command; the output is square-clipped only after the detector has seen it.
//
// Internal linkage throughout: the block path compiles this header once per
// instruction set.
#pragma once

#include <emmintrin.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "common/qv_api.h"
#include "qv_tlm/qv_tlm_core.h"
#include "util/util_core.h"

struct agc_t {
    // Parameters. No field is range-checked anywhere.
    double ref_db;                // target output power, dB (0 dB = unit power)
    double loop_bw;               // loop noise bandwidth, cycles/sample; loop gain 4*loop_bw
    double alpha;                 // detector moving-average coefficient, (0, 1]
    uint64_t decim;               // chunk length of the block path; 0 acts as 1
    double clip_db;               // output clip level, dB per component
    uint64_t gain_update_period;  // per-sample path: samples per loop update; 0 acts as 1
    // Loop state.
    double gain_db;               // loop-filter integrator: the gain command, dB
    double p_avg;                 // detector state: smoothed output power, linear
    double g_last;                // linear gain applied to the most recent sample
    uint64_t hold_count;          // samples since the last per-sample loop update
    float clip_lin;               // per-component clip amplitude of the per-sample path
    uint32_t reserved;            // carried through state blobs untouched
    // Telemetry attachment; not part of the state. Held while attached (qv_tlm_holders.h).
    qv_tlm *tlm;
    uint32_t gain_probe;
    uint32_t level_probe;
};
// The state blob carries the record from ref_db through reserved, as is.
static_assert(offsetof(agc_t, ref_db) == 0 && offsetof(agc_t, reserved) == 84);
static_assert(offsetof(agc_t, tlm) == 88);

QV_API agc_t *agc_create(double ref_db, double loop_bw, double alpha);
QV_API void agc_destroy(agc_t *a);
QV_API void agc_reset(agc_t *a);
QV_API double agc_get_applied_gain_db(const agc_t *a);
QV_API size_t agc_state_bytes(agc_t *a);
QV_API void agc_get_state(const agc_t *a, void *blob);
QV_API int agc_set_state(agc_t *a, const void *blob);
QV_API void agc_steps(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n);
QV_API int agc_set_telemetry(agc_t *a, qv_tlm *tlm, const char *prefix, int decim);
QV_API uint64_t agc_settling_samples(double loop_bw, double alpha, double gain_err_db, double tol_db);
QV_API uint64_t settling_samples(double loop_bw, double alpha, double gain_err_db, double tol_db);

namespace qv::agc {

constexpr double kPowerCeiling = 2.315841784746324e77;  // 2^257
constexpr double kLevelFloor = 1e-30;                   // -300 dB

// 2^h: a degree-4 Taylor polynomial of e^(f ln2) times 2^floor(h), with h
// clamped to [-1023, 1023] (NaN to -1023, where the result is 0). The
// constants are part of the behaviour and are used exactly as written.
static inline double fast_pow2(double h) {
    if (!(h >= -1023.0 && h <= 1023.0)) h = h > 1023.0 ? 1023.0 : -1023.0;
    const double fl = std::floor(h);
    const double f = h - fl;
    const double l = f * 0.6931471805599453;
    const double q = std::fma(
        std::fma(std::fma(std::fma(f, 0.028881132523331052, 0.16666666666666666), l, 0.5), l, 1.0), l, 1.0);
    return q * std::bit_cast<double>(uint64_t(int64_t(fl) + 1023) << 52);
}

// Linear amplitude of x dB.
static inline double db_to_amp(double x) { return fast_pow2(x * 0.16609640474436813); }

// log2(t) for a positive normal t: exponent plus an atanh series of the
// mantissa. The mantissa m is formed in a vector register: the block path's
// loop waits on it, and a round trip through an integer register is slower.
static inline double fast_log2(double t) {
    const uint64_t bits = std::bit_cast<uint64_t>(t);
    const double e = double(int64_t(bits >> 52 & 0x7ff) - 1023);
    const __m128d fraction = _mm_and_pd(_mm_set_sd(t), _mm_castsi128_pd(_mm_cvtsi64_si128(0x000fffffffffffff)));
    const double m = _mm_cvtsd_f64(_mm_or_pd(fraction, _mm_set_sd(1.0)));  // same exponent as 1.0
    const double u = (m - 1.0) / (m + 1.0);
    return std::fma(u * 2.885390081777927, std::fma(u * u, 0.3333333333333333, 1.0), e);
}

// dB of a power; callers saturate t into [1e-30, 2^257] first.
static inline double power_to_db(double t) { return 3.010299956639812 * fast_log2(t); }

// The level the detector state stands for, bounded to [-300, ~773.6] dB.
static inline double level_db(double p_avg) {
    return power_to_db(qv::saturate(p_avg + kLevelFloor, kLevelFloor, kPowerCeiling, kPowerCeiling));
}

// Runs after every loop update, on both paths: the new gain command, then the
// level this update answered. Detached, it is one null test.
static inline void telemetry_hook(agc_t *a, double level) {
    if (!a->tlm) return;
    if (a->gain_probe < QV_TLM_MAX_PROBES) qv_tlm_emit(a->tlm, a->gain_probe, a->gain_db);
    if (a->tlm && a->level_probe < QV_TLM_MAX_PROBES) qv_tlm_emit(a->tlm, a->level_probe, level);
}

// The per-sample loop in two halves, so that the settling query can form its
// gained sample its own way. First: the linear gain for this sample, refreshed
// from the command at the first sample after each update (a zero-order hold).
static inline float sample_gain(agc_t *a) {
    if (a->hold_count == 0) a->g_last = db_to_amp(a->gain_db);
    return float(a->g_last);
}

// Second: detector on the gained sample, then every P samples the loop update.
static inline void measure_sample(agc_t *a, float yr, float yi) {
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
static inline qv_cf32 agc_step(agc_t *a, qv_cf32 x) {
    const float g = sample_gain(a);
    const float yr = x.real() * g, yi = x.imag() * g;
    measure_sample(a, yr, yi);
    return qv::square_clip({yr, yi}, a->clip_lin);
}

}  // namespace qv::agc

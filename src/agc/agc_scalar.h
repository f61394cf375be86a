// The block path's driver and its plain chunk loop (the reference every
// vectorised chunk must match bit for bit), and the settling query's loop.
// Internal linkage: compiled once per instruction set (agc_simd.cpp) and once
// for the reference (agc_core.cpp).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "agc/agc_loop.h"

namespace qv::agc {
namespace {

// Detector coefficient and loop gain for a chunk of `len` samples, compounded
// so that updating once per chunk keeps the per-sample time constants.
struct ChunkCoeffs {
    double detector;
    double loop;
};

ChunkCoeffs coeffs_for(const agc_t *a, uint64_t len) {
    return {qv::ema_alpha_decim(a->alpha, len), qv::ema_alpha_decim(4.0 * a->loop_bw, len)};
}

// The per-chunk loop update from the chunk's summed power S over `r` = 1/len;
// returns the new gain command.
double update(agc_t *a, float power_sum, double r, const ChunkCoeffs &k) {
    const double mean = qv::saturate(r * double(power_sum), 0.0, kPowerCeiling, kPowerCeiling);
    a->p_avg = qv::ema_step(a->p_avg, mean, k.detector);
    const double level = level_db(a->p_avg);
    const double command = std::fma(a->ref_db - level, k.loop, a->gain_db);
    a->gain_db = command;
    telemetry_hook(a, level);
    return command;
}

// One chunk of the block path: `len` samples from `in` to `out` (which may be
// `in` itself) under the gain ramp from g_prev by `step` per sample, clipped
// at `clip`. Its work returns S, the power sum of the gained samples.
struct Chunk {
    const qv_cf32 *in;
    qv_cf32 *out;
    size_t len;
    double g_prev, step;
    float clip;

    // Sample i times its ramp gain float(fma(step, i + 1, g_prev)).
    qv_cf32 gained(size_t i) const {
        const float g = float(std::fma(step, double(i + 1), g_prev));
        return {in[i].real() * g, in[i].imag() * g};
    }

    // An odd chunk's last sample, whose squares go onto the combined sum.
    float odd_tail(float sum) const {
        if (!(len & 1)) return sum;
        const qv_cf32 y = gained(len - 1);
        out[len - 1] = qv::square_clip(y, clip);
        return std::fma(y.imag(), y.imag(), std::fma(y.real(), y.real(), sum));
    }
};

// The chunk sample by sample: the squares of component k go to partial sum
// k mod 4, the partial sums are combined, then the odd sample is added.
float chunk_scalar(const Chunk &c) {
    float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (size_t i = 0; i < (c.len & ~size_t(1)); ++i) {
        const qv_cf32 y = c.gained(i);  // in[i] is read before out[i] is written
        const size_t lane = 2 * (i & 1);
        s[lane] = std::fma(y.real(), y.real(), s[lane]);
        s[lane + 1] = std::fma(y.imag(), y.imag(), s[lane + 1]);
        c.out[i] = qv::square_clip(y, c.clip);
    }
    return c.odd_tail((s[0] + s[1]) + (s[2] + s[3]));
}

// The block path over n samples, each chunk through `chunk`: chunk_scalar
// here, the vector chunk in the variants.
template <auto chunk>
void run_blocks(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    const uint64_t d = a->decim ? a->decim : 1;
    const ChunkCoeffs full = coeffs_for(a, d);
    const float clip = float(db_to_amp(a->clip_db));
    if (n == 0) return;
    double g_prev = a->g_last;
    // The command stays in a register from one update to the next chunk's
    // gain: that hand-over is on the loop's critical path.
    double command = a->gain_db;
    for (size_t offset = 0; offset < n;) {
        const size_t len = size_t(std::min<uint64_t>(d, n - offset));
        const ChunkCoeffs k = len == d ? full : coeffs_for(a, len);
        const double g_new = db_to_amp(command);
        const double r = 1.0 / double(len);
        const double step = (g_new - g_prev) * r;
        const float power_sum = chunk(Chunk{in + offset, out + offset, len, g_prev, step, clip});
        command = update(a, power_sum, r, k);
        g_prev = g_new;
        offset += len;
    }
    a->g_last = g_prev;
}

// The reference of Variant::steps.
inline void steps_scalar(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) { run_blocks<chunk_scalar>(a, in, out, n); }

// Per-sample loop against the constant input amplitude*(0.6 + 0.8j): the
// first sample count k whose gain command lies within tol_db of target_db.
uint64_t settle(agc_t *a, float amplitude, double target_db, double tol_db, uint64_t budget) {
    for (uint64_t k = 1; k <= budget; ++k) {
        const float ga = sample_gain(a) * amplitude;
        measure_sample(a, ga * 0.6f, ga * 0.8f);
        if (std::fabs(a->gain_db - target_db) <= tol_db) return k;
    }
    return 0;
}

}  // namespace
}  // namespace qv::agc

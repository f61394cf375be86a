// The plain loops that every vectorised loop of the AGC must match bit for
// bit: a chunk of the block path, a span of a chunk, and the settling
// query's per-sample loop. The block drivers that run them are in
// agc_drivers.h.
// Internal linkage: compiled once per instruction set (agc_simd.cpp) and once
// for the reference (agc_core.cpp).
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "agc/agc_loop.h"
#include "agc/agc_variants.h"

namespace qv::agc {
namespace {

// One chunk of the block path: `len` samples from `in` to `out` (which may be
// `in` itself) under the gain ramp from g_prev by `step` per sample, clipped
// at `clip`. Its work returns S, the power sum of the gained samples.
// x times the ramp's gain at index i: float(fma(step, i, g_prev)).
inline qv_cf32 ramp_gained(qv_cf32 x, double i, double g_prev, double step) {
    const float g = float(std::fma(step, i, g_prev));
    return {x.real() * g, x.imag() * g};
}

// An odd chunk's last sample y, clipped into *out, its squares onto the
// combined sum.
inline float odd_sample(qv_cf32 y, qv_cf32 *out, float clip, float sum) {
    *out = qv::square_clip(y, clip);
    return std::fma(y.imag(), y.imag(), std::fma(y.real(), y.real(), sum));
}

// Its samples are `stride` apart: 1 in a row, the channel count in a
// channel of an interleaved block (which only the plain loop takes).
struct Chunk {
    const qv_cf32 *in;
    qv_cf32 *out;
    size_t len;
    double g_prev, step;
    float clip;
    size_t stride = 1;

    // Sample i times its ramp gain float(fma(step, i + 1, g_prev)).
    qv_cf32 gained(size_t i) const { return ramp_gained(in[i * stride], double(i + 1), g_prev, step); }

    // An odd chunk's last sample, whose squares go onto the combined sum.
    float odd_tail(float sum) const {
        if (!(len & 1)) return sum;
        return odd_sample(gained(len - 1), out + (len - 1) * stride, clip, sum);
    }
};

// The chunk sample by sample: the squares of component k go to partial sum
// k mod 4, the partial sums are combined, then the odd sample is added.
// Chunks are inlined into the drivers' block loop: a call would move the
// loop's state through memory on its critical path.
[[gnu::always_inline]] inline float chunk_scalar(const Chunk &c) {
    float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (size_t i = 0; i < (c.len & ~size_t(1)); ++i) {
        const qv_cf32 y = c.gained(i);  // in[i] is read before out[i] is written
        const size_t lane = 2 * (i & 1);
        s[lane] = std::fma(y.real(), y.real(), s[lane]);
        s[lane + 1] = std::fma(y.imag(), y.imag(), s[lane + 1]);
        c.out[i * c.stride] = qv::square_clip(y, c.clip);
    }
    return c.odd_tail((s[0] + s[1]) + (s[2] + s[3]));
}

// Span k of s gained by its ramp.
inline qv_cf32 span_gained(const Span &s, size_t k) {
    return ramp_gained(s.in[k], double(s.first + k + 1), s.g_prev, s.step);
}

// Span sample k onto its two partial sums, in the order of chunk_scalar.
inline void span_sample(const Span &s, size_t k, float sums[4]) {
    const qv_cf32 y = span_gained(s, k);
    const size_t lane = 2 * ((s.first + k) & 1);
    sums[lane] = std::fma(y.real(), y.real(), sums[lane]);
    sums[lane + 1] = std::fma(y.imag(), y.imag(), sums[lane + 1]);
    s.out[k] = qv::square_clip(y, s.clip);
}

// The reference of Variant::span.
inline void span_scalar(const Span &s, float sums[4]) {
    for (size_t k = 0; k < s.count; ++k) span_sample(s, k, sums);
}

// Per-sample loop against the constant input amplitude*(0.6 + 0.8j) for at
// most `budget` steps: the smallest k after which the gain command stays
// within tol_db of target_db through the last step, or 0 when it is outside
// the band after that step. A step that leaves gain_db, p_avg and g_last
// exactly as they were is a fixed point, so every later step would repeat it
// and the loop stops there.
uint64_t settle(agc_t *a, float amplitude, double target_db, double tol_db, uint64_t budget) {
    auto bits = [](double v) { return std::bit_cast<uint64_t>(v); };
    uint64_t settled = 0;  // the step since which the gain has stayed in the band, or 0
    for (uint64_t k = 1; k <= budget; ++k) {
        const uint64_t gain = bits(a->gain_db), power = bits(a->p_avg), linear = bits(a->g_last);
        const float g = sample_gain(a), ga = g * amplitude;
        measure_sample(a, ga * 0.6f, ga * 0.8f, g);
        if (std::fabs(a->gain_db - target_db) <= tol_db)
            settled = settled ? settled : k;
        else
            settled = 0;
        if (bits(a->gain_db) == gain && bits(a->p_avg) == power && bits(a->g_last) == linear) break;
    }
    return settled;
}

}  // namespace
}  // namespace qv::agc

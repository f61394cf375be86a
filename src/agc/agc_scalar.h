// The block path's driver and its plain chunk loop (the reference every
// vectorised chunk must match bit for bit), and the settling query's loop.
// Internal linkage: compiled once per instruction set (agc_simd.cpp) and once
// for the reference (agc_core.cpp).
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "agc/agc_loop.h"

namespace qv::agc {
namespace {

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
// Chunks are inlined into the block loop (here and in the variants): a call
// would move the loop's state through memory on its critical path.
[[gnu::always_inline]] inline float chunk_scalar(const Chunk &c) {
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

// The block path over n samples, each chunk through `chunk` (chunk_scalar
// here, the vector chunk in the variants) and chunk_update.
template <auto chunk, bool acquire>
void run_blocks(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    const uint64_t d = a->decim ? a->decim : 1;
    const ChunkShape full = shape_for(a, d);
    const GainBounds bounds = gain_bounds(a->ref_db);
    const float clip = float(db_to_amp(a->clip_db));
    if (n == 0) return;
    double g_prev = a->g_last;
    // The next chunk's gain comes from the update in a register: that
    // hand-over is on the loop's critical path.
    double g_new = db_to_amp(a->gain_db);
    for (size_t offset = 0; offset < n;) {
        const size_t len = size_t(std::min<uint64_t>(d, n - offset));
        const ChunkShape k = len == d ? full : shape_for(a, len);  // only a last chunk is shorter
        const double step = (g_new - g_prev) * k.r;
        const float power_sum = chunk(Chunk{in + offset, out + offset, len, g_prev, step, clip});
        const double g_next = chunk_update<acquire>(a, power_sum, k, bounds, g_prev, step, g_new);
        g_prev = g_new;
        g_new = g_next;
        offset += len;
    }
    a->g_last = g_prev;
}

// The block path with the acquisition mode as the call finds it.
template <auto chunk>
void run_steps(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    if (a->flags & QV_AGC_ACQUIRE)
        run_blocks<chunk, true>(a, in, out, n);
    else
        run_blocks<chunk, false>(a, in, out, n);
}

// The reference of Variant::steps.
inline void steps_scalar(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) { run_steps<chunk_scalar>(a, in, out, n); }

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
        const float ga = sample_gain(a) * amplitude;
        measure_sample(a, ga * 0.6f, ga * 0.8f);
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

// The block path's sample kernels in Advanced SIMD registers, for the aarch64
// sets of agc_simd.cpp: a pair of samples (re0, im0, re1, im1) in one float
// register whose lanes line up with the four partial sums, as the AVX2
// kernels there hold it, each lane taking chunk_scalar's operations in its
// order; and a bank's chunks side by side, two channels in the lanes of a
// double register. Internal linkage: compiled per instruction set.
#pragma once

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

#include "agc/agc_lanes.h"
#include "agc/agc_scalar.h"

namespace qv::agc {
namespace {

// A pair's ramp in double lanes: its indices (i + 1, i + 2), step and start.
using RampLanes = float64x2_t;
RampLanes splat_ramp(double x) { return vdupq_n_f64(x); }
RampLanes pair_index(uint64_t i) {
    const double first = double(i + 1);
    return RampLanes{first, first + 1.0};
}

// The gains of samples i and i+1 as (g_i, g_i, g_i+1, g_i+1): one double fma
// over the ramp indices, narrowed like float().
float32x4_t pair_gains(RampLanes step, RampLanes index, RampLanes g_prev) {
    const float32x2_t g = vcvt_f32_f64(vfmaq_f64(g_prev, step, index));
    return vzip1q_f32(vcombine_f32(g, g), vcombine_f32(g, g));
}

// The partial sums (re even, im even, re odd, im odd).
using Sums = float32x4_t;
Sums load_sums(const float sums[4]) { return vld1q_f32(sums); }
void store_sums(float sums[4], Sums s) { vst1q_f32(sums, s); }

// (s0 + s1) + (s2 + s3) of the partial sums in the lanes of s.
float combine(Sums s) {
    const float32x4_t halves = vpaddq_f32(s, s);  // s0 + s1, s2 + s3, ...
    return vpadds_f32(vget_low_f32(halves));
}

// square_clip of two samples. maxNum(y, -c) is a compare and select, which
// turns a NaN part into -c (fmaxnm would make a signalling NaN a NaN) and
// keeps y = +0 against -c = -0; c is never NaN (it comes from db_to_amp),
// so minNum(t, c) is fmin. Then the construction rule on the real parts,
// lanes 0 and 2: fma(im, 0, re).
float32x4_t clip_pair(float32x4_t y, float32x4_t c, float32x4_t neg_c) {
    const float32x4_t t = vminq_f32(c, vbslq_f32(vcgeq_f32(y, neg_c), y, neg_c));
    const float32x4_t fused = vfmaq_f32(t, vrev64q_f32(t), vdupq_n_f32(0.0f));
    return vbslq_f32(vreinterpretq_u32_u64(vdupq_n_u64(0xffffffff)), fused, t);
}

// `pairs` pairs of samples from in to out (floats of the chunk's samples
// from an even one on), the first gained at ramp indices index, their squares
// onto the partial sums s. A fresh chunk's s is zero: its first squares are
// products, the same as fmaf(y, y, +0).
template <bool fresh>
[[gnu::always_inline]] inline Sums pairs_vector(const float *in, float *out, size_t pairs, RampLanes index, RampLanes step,
                                                RampLanes g_prev, float c, Sums s) {
    const float32x4_t clip = vdupq_n_f32(c), neg_clip = vdupq_n_f32(-c);
    // Pair j times its gains, clipped into out (loaded before the store: in place).
    auto pair = [&](size_t j) {
        const float32x4_t y = vmulq_f32(vld1q_f32(in + 4 * j), pair_gains(step, index, g_prev));
        index = index + splat_ramp(2.0);
        vst1q_f32(out + 4 * j, clip_pair(y, clip, neg_clip));
        return y;
    };
    size_t j = 0;
    if (fresh && pairs) {
        const float32x4_t y = pair(0);
        s = vmulq_f32(y, y);
        j = 1;
    }
    for (; j < pairs; ++j) {
        const float32x4_t y = pair(j);
        s = vfmaq_f32(s, y, y);
    }
    return s;
}

// Two lanes: the update chains of two pairs of channels run side by side.
using Wide = D2;

// The chunks of the channels in the lanes of a vector, side by side, as the
// AVX2 form in agc_simd.cpp takes them: eight samples (a cache line) of
// every chunk at a time, their gains for both lanes at once
// (Lanes::quad_gains), then lane by lane the samples' floats times them, the
// squares of the pairs onto the sums in turn, the clip, the store. Chunk j
// goes from rows.in(j) to rows.out(j), its ramp in lane j of
// g_prev and step; lanes from `live` on are left alone unless `full` says
// there are none. Returns the power sums in lanes, as chunk_scalar forms them.
template <class V, bool full, class LaneRows>
[[gnu::always_inline]] inline V chunks_side_by_side(const LaneRows &rows, size_t live, size_t len, V g_prev, V step,
                                                    float c) {
    using L = Lanes<V>;
    constexpr size_t W = L::count;
    auto lane = [&](size_t j) QV_INLINE_LAMBDA { return full || j < live; };
    Sums sums[W] = {};
    const float32x4_t clip = vdupq_n_f32(c), neg_clip = vdupq_n_f32(-c);
    // Four samples of lane j from sample i on, under the gains of q; both
    // pairs are loaded before the stores (in place).
    auto quad = [&]<size_t j>(size_t i, const typename L::Quad &q) QV_INLINE_LAMBDA {
        const float *x = reinterpret_cast<const float *>(rows.in(j) + i);
        float *y = reinterpret_cast<float *>(rows.out(j) + i);
        const float32x4_t lo = vmulq_f32(vld1q_f32(x), q.lane[j][0]), hi = vmulq_f32(vld1q_f32(x + 4), q.lane[j][1]);
        sums[j] = vfmaq_f32(vfmaq_f32(sums[j], lo, lo), hi, hi);
        vst1q_f32(y, clip_pair(lo, clip, neg_clip));
        vst1q_f32(y + 4, clip_pair(hi, clip, neg_clip));
    };
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        const typename L::Quad first = L::quad_gains(step, g_prev, double(i + 1));
        const typename L::Quad second = L::quad_gains(step, g_prev, double(i + 5));
        unrolled<W>([&]<size_t j>() QV_INLINE_LAMBDA {
            if (!lane(j)) return;
            quad.template operator()<j>(i, first);
            quad.template operator()<j>(i + 4, second);
        });
    }
    if (i + 4 <= len) {
        const typename L::Quad q = L::quad_gains(step, g_prev, double(i + 1));
        unrolled<W>([&]<size_t j>() QV_INLINE_LAMBDA {
            if (lane(j)) quad.template operator()<j>(i, q);
        });
        i += 4;
    }
    // A pair left over, then an odd chunk's last sample, lane by lane.
    const size_t done = i;
    float power[W] = {};
    unrolled<W>([&]<size_t j>() QV_INLINE_LAMBDA {
        if (!lane(j)) return;
        const qv_cf32 *x = rows.in(j);
        qv_cf32 *y = rows.out(j);
        if (len - done >= 2) {
            const float32x4_t g = pair_gains(L::template broadcast<j>(step), pair_index(done), L::template broadcast<j>(g_prev));
            const float32x4_t pair = vmulq_f32(vld1q_f32(reinterpret_cast<const float *>(x + done)), g);
            sums[j] = vfmaq_f32(sums[j], pair, pair);
            vst1q_f32(reinterpret_cast<float *>(y + done), clip_pair(pair, clip, neg_clip));
        }
        power[j] = combine(sums[j]);
        if (len & 1)
            power[j] = odd_sample(ramp_gained(x[len - 1], double(len), g_prev[j], step[j]), y + len - 1, c, power[j]);
    });
    return L::widen(power);
}


// The chunks of both lanes as an interleaved block holds them, as the AVX2
// form in agc_simd.cpp takes them: sample i of chunk j at in + i stride + j.
// One load takes sample i of both lanes, its floats lined up with the lanes'
// gains; the squares of even samples go onto one vector of partial sums,
// those of odd ones onto another (per lane: sums 0, 1 and 2, 3 of
// chunk_scalar). With `full` false only lane 0 is live, and lane 1's sample
// is neither read nor written. Returns the power sums in lanes, as
// chunk_scalar forms them.
template <class V, bool full>
[[gnu::always_inline]] inline V chunks_interleaved(const qv_cf32 *in, qv_cf32 *out, size_t stride, size_t live,
                                                   size_t len, V g_prev, V step, float c) {
    using L = Lanes<V>;
    static_assert(L::count == 2, "a lane's sample is two of the four floats of a load");
    (void)live;  // below two lanes, only lane 0 is live
    const float32x4_t clip = vdupq_n_f32(c), neg_clip = vdupq_n_f32(-c);
    // Sample i of both lanes times its gain float(fma(step, i + 1, g_prev)).
    auto gained = [&](size_t i) QV_INLINE_LAMBDA {
        const float *x = reinterpret_cast<const float *>(in + i * stride);
        const float32x4_t v = full ? vld1q_f32(x) : vcombine_f32(vld1_f32(x), vdup_n_f32(0.0f));
        const float32x2_t g = vcvt_f32_f64(L::fma(step, L::splat(double(i + 1)), g_prev));
        return vmulq_f32(v, vzip1q_f32(vcombine_f32(g, g), vcombine_f32(g, g)));
    };
    auto store = [&](size_t i, float32x4_t y) QV_INLINE_LAMBDA {
        float *to = reinterpret_cast<float *>(out + i * stride);
        const float32x4_t clipped = clip_pair(y, clip, neg_clip);
        if (full)
            vst1q_f32(to, clipped);
        else
            vst1_f32(to, vget_low_f32(clipped));
    };
    float32x4_t even = vdupq_n_f32(0.0f), odd = vdupq_n_f32(0.0f);
    for (size_t i = 0; i + 2 <= len; i += 2) {
        const float32x4_t y0 = gained(i), y1 = gained(i + 1);  // both read before either is written (in place)
        even = vfmaq_f32(even, y0, y0);
        odd = vfmaq_f32(odd, y1, y1);
        store(i, y0);
        store(i + 1, y1);
    }
    // (s0 + s1) + (s2 + s3) per lane, then an odd chunk's last sample onto
    // it, its real part's square first.
    const float32x4_t halves = vpaddq_f32(even, odd);  // (s0 + s1, of lane 1, s2 + s3, of lane 1)
    float32x2_t sum = vadd_f32(vget_low_f32(halves), vget_high_f32(halves));
    if (len & 1) {
        const float32x4_t y = gained(len - 1);
        const float32x2_t re = vget_low_f32(vuzp1q_f32(y, y)), im = vget_low_f32(vuzp2q_f32(y, y));
        sum = vfma_f32(vfma_f32(sum, re, re), im, im);
        store(len - 1, y);
    }
    return vcvt_f64_f32(sum);
}

}  // namespace
}  // namespace qv::agc

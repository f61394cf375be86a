// The block path's loop update of several channels at once, one channel per
// lane of a vector of doubles: the update of a bank's channels runs side by
// side, where one stream's updates wait for each other. Every lane takes
// chunk_update's operations in the same order, each an exactly rounded IEEE
// operation: compares and selects for its branches, and for the exponent of
// fast_log2 and the scale of fast_pow2 integer operations exact on their
// range. So each lane matches the scalar update bit for bit.
// Compiled per instruction set with AVX2 or wider, or with Advanced SIMD
// (agc_simd.cpp); internal linkage.
#pragma once

#if defined(__AVX2__)
#include <immintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#include <cstddef>
#include <cstdint>
#include <utility>

#include "agc/agc_loop.h"

namespace qv::agc {
namespace {

// A vector type's lanes: their count, the unsigned integers of the same
// width, and the operations the vector extension of the compiler lacks.
// Four double lanes, a 256-bit vector, on every set that has them (the
// AVX-512 build too: see agc_simd.cpp).
template <class V>
struct Lanes;

#if defined(__AVX2__)
typedef double D4 __attribute__((vector_size(32)));
typedef uint64_t U4 __attribute__((vector_size(32)));

template <>
struct Lanes<D4> {
    static constexpr size_t count = 4;
    using Bits = U4;
    static D4 splat(double x) { return _mm256_set1_pd(x); }
    static D4 fma(D4 a, D4 b, D4 c) { return _mm256_fmadd_pd(a, b, c); }
    static D4 floor(D4 x) { return _mm256_round_pd(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    // Lane j in all four lanes of a 256-bit vector (what a chunk's ramp takes).
    template <size_t j>
    static __m256d broadcast(D4 v) {
        return _mm256_permute4x64_pd(v, j * 0x55);
    }
    // Four float power sums as doubles, exactly.
    static D4 widen(const float (&s)[4]) { return _mm256_cvtps_pd(_mm_setr_ps(s[0], s[1], s[2], s[3])); }
    // The gains float(fma(step, i + k, g_prev)), k = 0 .. 3, of every lane
    // for four complex samples: the gains of the four indices, transposed so
    // that quad[j] holds lane j's four; gains_of<j> spreads them as the
    // factors (g0, g0, g1, g1, g2, g2, g3, g3) of the samples' floats.
    struct Quad {
        __m128 lane[4];
    };
    static Quad quad_gains(D4 step, D4 g_prev, double i) {
        __m128 g[4];
        for (int k = 0; k < 4; ++k) g[k] = _mm256_cvtpd_ps(fma(step, splat(i + k), g_prev));
        const __m128 t0 = _mm_unpacklo_ps(g[0], g[1]), t1 = _mm_unpackhi_ps(g[0], g[1]);  // a0 b0 a1 b1, a2 b2 a3 b3
        const __m128 t2 = _mm_unpacklo_ps(g[2], g[3]), t3 = _mm_unpackhi_ps(g[2], g[3]);  // c0 d0 c1 d1, c2 d2 c3 d3
        return {{_mm_movelh_ps(t0, t2), _mm_movehl_ps(t2, t0), _mm_movelh_ps(t1, t3), _mm_movehl_ps(t3, t1)}};
    }
    template <size_t j>
    static __m256 gains_of(const Quad &q) {
        return _mm256_permutevar8x32_ps(_mm256_zextps128_ps256(q.lane[j]), _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3));
    }
};
#elif defined(__ARM_NEON)
// Two double lanes, one Advanced SIMD register.
typedef double D2 __attribute__((vector_size(16)));
typedef uint64_t U2 __attribute__((vector_size(16)));

template <>
struct Lanes<D2> {
    static constexpr size_t count = 2;
    using Bits = U2;
    static D2 splat(double x) { return vdupq_n_f64(x); }
    static D2 fma(D2 a, D2 b, D2 c) { return vfmaq_f64(c, a, b); }
    static D2 floor(D2 x) { return vrndmq_f64(x); }
    // Lane j in both lanes.
    template <size_t j>
    static D2 broadcast(D2 v) {
        return vdupq_laneq_f64(v, j);
    }
    // Two float power sums as doubles, exactly.
    static D2 widen(const float (&s)[2]) { return vcvt_f64_f32(vld1_f32(s)); }
    // The gains float(fma(step, i + k, g_prev)), k = 0 .. 3, of both lanes
    // for four complex samples, spread as the factors of the samples' floats:
    // quad[j][0] = (g0, g0, g1, g1) and quad[j][1] = (g2, g2, g3, g3) of lane j.
    struct Quad {
        float32x4_t lane[2][2];
    };
    static Quad quad_gains(D2 step, D2 g_prev, double i) {
        float32x4_t g[2];  // (g0 of lane 0, g0 of lane 1, g1 of lane 0, g1 of lane 1), then g2, g3
        for (int k = 0; k < 2; ++k)
            g[k] = vcvt_high_f32_f64(vcvt_f32_f64(fma(step, splat(i + 2 * k), g_prev)),
                                     fma(step, splat(i + 2 * k + 1), g_prev));
        return {{{vtrn1q_f32(g[0], g[0]), vtrn1q_f32(g[1], g[1])}, {vtrn2q_f32(g[0], g[0]), vtrn2q_f32(g[1], g[1])}}};
    }
};
#endif


// saturate(v, lo, kPowerCeiling, kPowerCeiling): NaN and what is above the
// ceiling go to it, what is below lo to lo.
template <class V>
V saturate_lanes(V v, double lo) {
    using L = Lanes<V>;
    const V ceiling = L::splat(kPowerCeiling), low = L::splat(lo);
    const V r = v <= ceiling ? v : ceiling;
    return v < low ? low : r;
}

// fast_log2 of positive normal lanes. The exponent field E is put under the
// mantissa of 2^52, which makes the double 2^52 + E; less 2^52 + 1023 that
// is E - 1023, exactly.
template <class V>
V fast_log2_lanes(V t) {
    using L = Lanes<V>;
    using U = typename L::Bits;
    const U bits = (U)t;
    const V e = (V)((bits >> 52 & 0x7ff) | 0x4330000000000000) - L::splat(0x1p52 + 1023.0);
    const V m = (V)((bits & 0x000fffffffffffff) | 0x3ff0000000000000);
    const V u = (m - L::splat(1.0)) / (m + L::splat(1.0));
    return L::fma(u * L::splat(2.885390081777927), L::fma(u * u, L::splat(0.3333333333333333), L::splat(1.0)), e);
}

// fast_pow2 in lanes. floor(h) + 2^52 + 1023 is the double 2^52 + k with
// k = floor(h) + 1023 in [0, 2046] in its low bits; shifted by 52 they are
// the scale's exponent field and nothing else.
template <class V>
V fast_pow2_lanes(V h) {
    using L = Lanes<V>;
    using U = typename L::Bits;
    const V top = L::splat(1023.0), bottom = L::splat(-1023.0);
    h = (h >= bottom) & (h <= top) ? h : (h > top ? top : bottom);
    const V fl = L::floor(h);
    const V f = h - fl;
    const V l = f * L::splat(0.6931471805599453);
    const V q = L::fma(
        L::fma(L::fma(L::fma(f, L::splat(0.028881132523331052), L::splat(0.16666666666666666)), l, L::splat(0.5)),
               l, L::splat(1.0)),
        l, L::splat(1.0));
    return q * (V)((U)(fl + L::splat(0x1p52 + 1023.0)) << 52);
}

template <class V>
V db_to_amp_lanes(V x) {
    return fast_pow2_lanes(x * Lanes<V>::splat(0.16609640474436813));
}

// The loop state of a bank's channels in lanes, and what a call fixes for all.
template <class V>
struct LaneLoop {
    V gain_db, p_avg;
};

struct BankShape {
    double ref_db;
    CallRules rules;
};

// level_db in lanes.
template <class V>
V level_db_lanes(V p_avg) {
    using L = Lanes<V>;
    return L::splat(3.010299956639812) * fast_log2_lanes(saturate_lanes(p_avg + L::splat(kLevelFloor), kLevelFloor));
}

// chunk_update<acquire, onset> lane by lane: power_sum holds each lane's
// chunk sum (as double), g_prev, step and g_new its ramp. Updates the lanes'
// state, puts the levels the update answered in `level` (for telemetry) and
// the gains the next chunks start from in `g_start`, and returns db_to_amp
// of the new commands. A lane that the gate holds or that makes a fast
// attack takes that branch's values by a select.
template <class V, bool acquire, bool onset>
[[gnu::always_inline]] inline V chunk_update_lanes(LaneLoop<V> &s, V power_sum, const ChunkShape &k,
                                                  const BankShape &b, V g_prev, V step, V g_new, V &level,
                                                  V &g_start) {
    using L = Lanes<V>;
    using Mask = decltype(V{} < V{});
    const V zero = L::splat(0.0), ref = L::splat(b.ref_db);
    const V mean = saturate_lanes(L::splat(k.r) * power_sum, 0.0);
    V ms = zero, referred = mean;
    if constexpr (acquire || onset) {
        ms = L::fma(g_prev, g_prev, step * L::fma(step, L::splat(k.v), g_prev * L::splat(k.u)));
        referred = ms > zero ? saturate_lanes(mean * ((g_new * g_new) / ms), 0.0) : mean;
    }
    const V detected = acquire ? referred : mean;
    V p_avg = k.detector >= 1.0 ? detected : L::fma(detected - s.p_avg, L::splat(k.detector), s.p_avg);  // ema_step
    Mask gated{}, attack{};
    if constexpr (onset) {
        gated = mean < L::splat(b.rules.gate_power) * ms;
        p_avg = gated ? s.p_avg : p_avg;  // one level serves the held lanes and the others
    }
    level = level_db_lanes(p_avg);
    V command = L::fma(ref - level, L::splat(k.loop), s.gain_db);
    if constexpr (onset) {
        const V own = level_db_lanes(referred);
        attack = (own - ref > L::splat(b.rules.attack_db)) & ~gated;
        level = attack ? own : level;
        command = gated ? s.gain_db : attack ? s.gain_db + (ref - own) : command;
        p_avg = attack ? referred : p_avg;
    }
    const V hi = L::splat(b.rules.bounds.hi), lo = L::splat(b.rules.bounds.lo);
    command = command > hi ? hi : command;  // clamp_gain
    command = command < lo ? lo : command;
    const V g_next = db_to_amp_lanes(command);
    s.gain_db = command;
    if constexpr (acquire || onset) {  // follow_gain(g_new, g_next), in the mode or after an attack
        const V rho = g_next / g_new;
        Mask follows = g_new > zero;
        if constexpr (!acquire) follows = follows & attack;
        p_avg = follows ? saturate_lanes(p_avg * (rho * rho), 0.0) : p_avg;
    }
    s.p_avg = p_avg;
    g_start = g_new;
    if constexpr (onset) g_start = attack ? g_next : g_new;
    return g_next;
}

// Marks a lambda of a hot loop: it is inlined whatever its size.
#define QV_INLINE_LAMBDA __attribute__((always_inline))

// f.template operator()<i>() for i = 0 .. N - 1, unrolled (f is a QV_INLINE_LAMBDA).
template <size_t N, class F>
[[gnu::always_inline]] inline void unrolled(F &&f) {
    [&]<size_t... i>(std::index_sequence<i...>) QV_INLINE_LAMBDA {
        (f.template operator()<i>(), ...);
    }(std::make_index_sequence<N>{});
}

}  // namespace
}  // namespace qv::agc

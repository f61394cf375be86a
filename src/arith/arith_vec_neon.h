// The vector operations the arithmetic kernels are written in, for aarch64's
// Advanced SIMD: 128-bit registers, each operation with the lane results of
// its x86-64 form (arith_vec_x86.h), which the kernels were written against.
// Where NEON has an instruction for what x86 composes (the 64-bit arithmetic
// shift, shifts by any count) it is used. Lane types are template arguments.
// Internal linkage throughout: this header is compiled once per set.
#pragma once

#include <arm_neon.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qv::arith {
namespace {

struct Vec {
    using R = int8x16_t;
    static constexpr size_t kBytes = sizeof(R);

    // The register as lanes of T, and back.
    template <class T>
    static auto as(R v) {
        if constexpr (sizeof(T) == 1) return v;
        else if constexpr (sizeof(T) == 2) return vreinterpretq_s16_s8(v);
        else if constexpr (sizeof(T) == 4) return vreinterpretq_s32_s8(v);
        else return vreinterpretq_s64_s8(v);
    }
    template <class V>
    static R raw(V v) {
        return std::bit_cast<R>(v);
    }

    static R load(const void *p) { return vld1q_s8(static_cast<const int8_t *>(p)); }
    static void store(void *p, R v) { vst1q_s8(static_cast<int8_t *>(p), v); }
    static R zero() { return vdupq_n_s8(0); }
    // No store here goes around the caches: cores that see a run of whole
    // lines written detect it themselves. The kernels skip stream() and fence().
    static constexpr bool kStreams = false;
    static void stream(void *p, R v) { store(p, v); }
    static void fence() {}

    template <class T>
    static R splat(T x) {
        if constexpr (sizeof(T) == 1) return vdupq_n_s8(x);
        else if constexpr (sizeof(T) == 2) return raw(vdupq_n_s16(x));
        else if constexpr (sizeof(T) == 4) return raw(vdupq_n_s32(x));
        else return raw(vdupq_n_s64(x));
    }

    // Wrapping arithmetic on 32- or 64-bit lanes.
    template <class T>
    static R add(R a, R b) {
        if constexpr (sizeof(T) == 4) return raw(vaddq_s32(as<T>(a), as<T>(b)));
        else return raw(vaddq_s64(as<T>(a), as<T>(b)));
    }
    template <class T>
    static R sub(R a, R b) {
        if constexpr (sizeof(T) == 4) return raw(vsubq_s32(as<T>(a), as<T>(b)));
        else return raw(vsubq_s64(as<T>(a), as<T>(b)));
    }

    // Saturating arithmetic on 8- or 16-bit lanes.
    template <class T>
    static R adds(R a, R b) {
        if constexpr (sizeof(T) == 1) return vqaddq_s8(a, b);
        else return raw(vqaddq_s16(as<T>(a), as<T>(b)));
    }
    template <class T>
    static R subs(R a, R b) {
        if constexpr (sizeof(T) == 1) return vqsubq_s8(a, b);
        else return raw(vqsubq_s16(as<T>(a), as<T>(b)));
    }

    // Interleave the low or high T lanes of a and b: zip_lo<T>(zero(), x)
    // holds x * 2^bits(T) in lanes twice as wide.
    template <class T>
    static R zip_lo(R a, R b) {
        if constexpr (sizeof(T) == 1) return vzip1q_s8(a, b);
        else if constexpr (sizeof(T) == 2) return raw(vzip1q_s16(as<T>(a), as<T>(b)));
        else return raw(vzip1q_s32(as<T>(a), as<T>(b)));
    }
    template <class T>
    static R zip_hi(R a, R b) {
        if constexpr (sizeof(T) == 1) return vzip2q_s8(a, b);
        else if constexpr (sizeof(T) == 2) return raw(vzip2q_s16(as<T>(a), as<T>(b)));
        else return raw(vzip2q_s32(as<T>(a), as<T>(b)));
    }
    // Lanes twice as wide as T, saturated into T lanes in zip_lo/zip_hi order.
    template <class T>
    static R narrow(R lo, R hi) {
        if constexpr (sizeof(T) == 1) return vqmovn_high_s16(vqmovn_s16(as<int16_t>(lo)), as<int16_t>(hi));
        else return raw(vqmovn_high_s32(vqmovn_s32(as<int32_t>(lo)), as<int32_t>(hi)));
    }

    // Shifts of every lane by the same count (any count >= 0; past the lane
    // width an arithmetic shift fills with the sign, a left shift clears).
    // A shift by register takes a negative count as a right shift.
    template <class T>
    static R sra(R v, int n) {
        const int right = -std::min(n, int(8 * sizeof(T)) - 1);
        if constexpr (sizeof(T) == 2) return raw(vshlq_s16(as<T>(v), vdupq_n_s16(int16_t(right))));
        else if constexpr (sizeof(T) == 4) return raw(vshlq_s32(as<T>(v), vdupq_n_s32(right)));
        else return raw(vshlq_s64(as<T>(v), vdupq_n_s64(right)));
    }
    static R sll64(R v, int n) {
        return n >= 64 ? zero() : raw(vshlq_u64(vreinterpretq_u64_s8(v), vdupq_n_s64(n)));
    }

    // kBytes / 2 int8 values from p, sign-extended into int16 lanes in order.
    static R load_int8_as_int16(const int8_t *p) { return raw(vmovl_s8(vld1_s8(p))); }

    // int16 lanes: (a*b + 2^14) >> 15 (sqrdmulh: (2ab + 2^15) >> 16), which
    // saturates to 32767 for -32768 * -32768 where x86 wraps to -32768;
    // min_to_max gives both the Q15 rule's 32767.
    static R mulhrs(R a, R b) { return raw(vqrdmulhq_s16(as<int16_t>(a), as<int16_t>(b))); }
    // int16 lanes: -32768 becomes 32767, all else unchanged.
    static R min_to_max(R v) {
        const int16x8_t x = as<int16_t>(v);
        return raw(veorq_s16(x, vreinterpretq_s16_u16(vceqq_s16(x, vdupq_n_s16(INT16_MIN)))));
    }
    // -1 in the 8- or 16-bit lanes that are negative, 0 elsewhere.
    template <class T>
    static R sign(R v) {
        if constexpr (sizeof(T) == 1) return raw(vcltzq_s8(v));
        else return raw(vcltzq_s16(as<T>(v)));
    }
    // Pairs of int16 lanes: a0*b0 + a1*b1 in int32 lanes (wraps only for four
    // -32768s), as pmaddwd: the exact products, added pairwise.
    static R madd(R a, R b) {
        const int16x8_t x = as<int16_t>(a), y = as<int16_t>(b);
        return raw(vpaddq_s32(vmull_s16(vget_low_s16(x), vget_low_s16(y)), vmull_high_s16(x, y)));
    }

    // The lanes of v as U, summed modulo 2^bits(U).
    template <class U>
    static U hsum(R v) {
        U lanes[kBytes / sizeof(U)];
        std::memcpy(lanes, &v, kBytes);
        U sum = 0;
        for (U lane : lanes) sum += lane;
        return sum;
    }
};

}  // namespace
}  // namespace qv::arith

// The vector operations the arithmetic kernels are written in, for the x86-64
// instruction set this translation unit is compiled for: 128-bit registers
// with SSE2, 256-bit ones with AVX2 or AVX-512 (VL). On the Zen 4 these
// kernels were tuned on, 512-bit registers streamed 5-25% slower than
// 256-bit ones once data left L1 and gained little inside it, so the AVX-512
// level keeps 256-bit registers and adds the 64-bit arithmetic shift. What a
// set lacks (pmulhrsw before SSSE3, that shift before AVX-512) is composed
// exactly from other operations. Lane types are template arguments.
// Internal linkage throughout: this header is compiled once per set.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__AVX2__)
#define QV_MM(op) _mm256_##op
#define QV_SI(op) _mm256_##op##_si256
#define QV_SET1_EPI64 _mm256_set1_epi64x
#else
#define QV_MM(op) _mm_##op
#define QV_SI(op) _mm_##op##_si128
#define QV_SET1_EPI64 _mm_set1_epi64x
#endif

namespace qv::arith {
namespace {

struct Vec {
#if defined(__AVX2__)
    using R = __m256i;
#else
    using R = __m128i;
#endif
    static constexpr size_t kBytes = sizeof(R);

    static R load(const void *p) { return QV_SI(loadu)(static_cast<const R *>(p)); }
    static void store(void *p, R v) { QV_SI(storeu)(static_cast<R *>(p), v); }
    static R zero() { return QV_SI(setzero)(); }
    // A store past the caches; p aligned to kBytes. fence() orders such
    // stores before later ones, as plain stores are.
    static constexpr bool kStreams = true;
    static void stream(void *p, R v) { QV_SI(stream)(static_cast<R *>(p), v); }
    static void fence() { _mm_sfence(); }

    template <class T>
    static R splat(T x) {
        if constexpr (sizeof(T) == 1) return QV_MM(set1_epi8)(x);
        else if constexpr (sizeof(T) == 2) return QV_MM(set1_epi16)(x);
        else if constexpr (sizeof(T) == 4) return QV_MM(set1_epi32)(x);
        else return QV_SET1_EPI64(x);
    }

    // Wrapping arithmetic on 32- or 64-bit lanes.
    template <class T>
    static R add(R a, R b) {
        if constexpr (sizeof(T) == 4) return QV_MM(add_epi32)(a, b);
        else return QV_MM(add_epi64)(a, b);
    }
    template <class T>
    static R sub(R a, R b) {
        if constexpr (sizeof(T) == 4) return QV_MM(sub_epi32)(a, b);
        else return QV_MM(sub_epi64)(a, b);
    }

    // Saturating arithmetic on 8- or 16-bit lanes.
    template <class T>
    static R adds(R a, R b) {
        if constexpr (sizeof(T) == 1) return QV_MM(adds_epi8)(a, b);
        else return QV_MM(adds_epi16)(a, b);
    }
    template <class T>
    static R subs(R a, R b) {
        if constexpr (sizeof(T) == 1) return QV_MM(subs_epi8)(a, b);
        else return QV_MM(subs_epi16)(a, b);
    }

    // Interleave the low or high T lanes of each 128-bit lane of a and b:
    // zip_lo<T>(zero(), x) holds x * 2^bits(T) in lanes twice as wide.
    template <class T>
    static R zip_lo(R a, R b) {
        if constexpr (sizeof(T) == 1) return QV_MM(unpacklo_epi8)(a, b);
        else if constexpr (sizeof(T) == 2) return QV_MM(unpacklo_epi16)(a, b);
        else return QV_MM(unpacklo_epi32)(a, b);
    }
    template <class T>
    static R zip_hi(R a, R b) {
        if constexpr (sizeof(T) == 1) return QV_MM(unpackhi_epi8)(a, b);
        else if constexpr (sizeof(T) == 2) return QV_MM(unpackhi_epi16)(a, b);
        else return QV_MM(unpackhi_epi32)(a, b);
    }
    // Lanes twice as wide as T, saturated into T lanes in zip_lo/zip_hi order.
    template <class T>
    static R narrow(R lo, R hi) {
        if constexpr (sizeof(T) == 1) return QV_MM(packs_epi16)(lo, hi);
        else return QV_MM(packs_epi32)(lo, hi);
    }

    // Shifts of every lane by the same count (any count >= 0; past the lane
    // width an arithmetic shift fills with the sign, a left shift clears).
    template <class T>
    static R sra(R v, int n) {
        const __m128i c = _mm_cvtsi32_si128(n);
        if constexpr (sizeof(T) == 2) return QV_MM(sra_epi16)(v, c);
        else if constexpr (sizeof(T) == 4) return QV_MM(sra_epi32)(v, c);
        else {
#if defined(__AVX512VL__)
            return _mm256_sra_epi64(v, c);
#else
            // Flip the sign bit (adds 2^63), shift logically, subtract 2^63 >> n.
            const R top = splat<int64_t>(INT64_MIN);
            return sub<int64_t>(QV_MM(srl_epi64)(QV_SI(xor)(v, top), c), QV_MM(srl_epi64)(top, c));
#endif
        }
    }
    static R sll64(R v, int n) { return QV_MM(sll_epi64)(v, _mm_cvtsi32_si128(n)); }

    // kBytes / 2 int8 values from p, sign-extended into int16 lanes in order.
    static R load_int8_as_int16(const int8_t *p) {
#if defined(__AVX2__)
        return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
#else
        const R x = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p));
        return sra<int16_t>(_mm_unpacklo_epi8(x, x), 8);
#endif
    }

    // int16 lanes: (a*b + 2^14) >> 15, wrapping to -32768 for -32768 * -32768.
    static R mulhrs(R a, R b) {
#if defined(__SSSE3__)
        return QV_MM(mulhrs_epi16)(a, b);
#else
        // 2 * high half + the rounded top bit of the low half, (lo >> 14 + 1) >> 1.
        const R hi = _mm_mulhi_epi16(a, b);
        const R carry = _mm_avg_epu16(_mm_srli_epi16(_mm_mullo_epi16(a, b), 14), zero());
        return _mm_add_epi16(_mm_add_epi16(hi, hi), carry);
#endif
    }
    // int16 lanes: -32768 becomes 32767, all else unchanged.
    static R min_to_max(R v) { return QV_SI(xor)(v, QV_MM(cmpeq_epi16)(v, splat<int16_t>(INT16_MIN))); }
    // -1 in the 8- or 16-bit lanes that are negative, 0 elsewhere.
    template <class T>
    static R sign(R v) {
        if constexpr (sizeof(T) == 1) return QV_MM(cmpgt_epi8)(zero(), v);
        else return QV_MM(cmpgt_epi16)(zero(), v);
    }
    // Pairs of int16 lanes: a0*b0 + a1*b1 in int32 lanes (wraps only for four -32768s).
    static R madd(R a, R b) { return QV_MM(madd_epi16)(a, b); }

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

#undef QV_MM
#undef QV_SI
#undef QV_SET1_EPI64

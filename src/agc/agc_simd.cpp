// The AGC's block path with its chunks in vector registers, compiled once per
// instruction set (QV_ISA names it). Everything but the variant table has
// internal linkage (see cmake/isa.cmake).
#include "agc/agc_scalar.h"
#include "agc/agc_variants.h"

#if defined(__AVX2__)
#include <immintrin.h>
#endif

namespace qv::agc::QV_ISA {
namespace {

#if defined(__AVX2__)
// The chunk in vector registers. A pair of samples (re0, im0, re1, im1) fills
// a 4-lane vector whose lanes line up with the four partial sums, so the sums
// are the lanes of one register and each pair adds one fma to them: the only
// serial work in a chunk. Everything else about a pair (ramp, product, clip,
// store) depends on the chunk's gains alone and runs alongside that chain.
// The AVX-512 build runs the same 256-bit code: the chain, not the vector
// width, bounds it.

// The gains of samples i and i+1 as (g_i, g_i, g_i+1, g_i+1): one 4-wide
// double fma over the ramp indices (i+1, i+1, i+2, i+2), narrowed like float().
__m128 pair_gains(__m256d step, __m256d index, __m256d g_prev) {
    return _mm256_cvtpd_ps(_mm256_fmadd_pd(step, index, g_prev));
}

// square_clip of four samples. c is never NaN (it comes from db_to_amp), so
// minps(c, t) is minNum(t, c) for t that is not NaN; maxNum(y, -c) is a
// compare and blend, which turns a NaN part into -c and keeps y = +0 against
// -c = -0. Then the construction rule on the real parts: fma(im, 0, re).
__m256 clip_quad(__m256 y, __m256 c, __m256 neg_c) {
    const __m256 t = _mm256_min_ps(c, _mm256_blendv_ps(neg_c, y, _mm256_cmp_ps(y, neg_c, _CMP_GE_OQ)));
    const __m256 im_re = _mm256_permute_ps(t, _MM_SHUFFLE(2, 3, 0, 1));
    return _mm256_blend_ps(t, _mm256_fmadd_ps(im_re, _mm256_setzero_ps(), t), 0b01010101);
}

// (s0 + s1) + (s2 + s3) of the partial sums in the lanes of s.
float combine(__m128 s) {
    const __m128 halves = _mm_add_ps(s, _mm_movehdup_ps(s));  // s0 + s1 in lane 0, s2 + s3 in lane 2
    return _mm_cvtss_f32(_mm_add_ss(halves, _mm_movehl_ps(halves, halves)));
}

// `pairs` pairs of samples from in to out (floats of the chunk's samples
// from an even one on), the first gained at ramp indices index, their squares
// onto the partial sums s. A fresh chunk's s is zero: its first squares are
// products, which are the same as fmaf(y, y, +0) and a cycle sooner.
template <bool fresh>
[[gnu::always_inline]] inline __m128 pairs_vector(const float *in, float *out, size_t pairs, __m256d index,
                                                  __m256d step, __m256d g_prev, float c, __m128 s) {
    const __m256 clip = _mm256_set1_ps(c), neg_clip = _mm256_set1_ps(-c);
    // Pair j (floats 4j..4j+3) times its gains; pairs are taken in order.
    auto gained = [&](size_t j) {
        const __m128 y = _mm_mul_ps(_mm_loadu_ps(in + 4 * j), pair_gains(step, index, g_prev));
        index = _mm256_add_pd(index, _mm256_set1_pd(2.0));
        return y;
    };
    // Clipped and stored two pairs at a time, which halves the clip's work;
    // both pairs are loaded before the store (in place).
    auto store = [&](size_t j, __m128 lo, __m128 hi) {
        _mm256_storeu_ps(out + 4 * j, clip_quad(_mm256_set_m128(hi, lo), clip, neg_clip));
    };
    size_t j = 0;
    if (fresh && pairs >= 2) {
        const __m128 lo = gained(0), hi = gained(1);
        s = _mm_fmadd_ps(hi, hi, _mm_mul_ps(lo, lo));
        store(0, lo, hi);
        j = 2;
    }
    for (; j + 2 <= pairs; j += 2) {
        const __m128 lo = gained(j), hi = gained(j + 1);
        s = _mm_fmadd_ps(hi, hi, _mm_fmadd_ps(lo, lo, s));
        store(j, lo, hi);
    }
    if (j < pairs) {
        const __m128 y = gained(j);
        s = fresh && !j ? _mm_mul_ps(y, y) : _mm_fmadd_ps(y, y, s);
        const __m256 clipped = clip_quad(_mm256_zextps128_ps256(y), clip, neg_clip);
        _mm_storeu_ps(out + 4 * j, _mm256_castps256_ps128(clipped));
    }
    return s;
}

// The ramp indices (i + 1, i + 1, i + 2, i + 2) of the pair from sample i.
__m256d pair_index(uint64_t i) {
    const double first = double(i + 1);
    return _mm256_setr_pd(first, first, first + 1.0, first + 1.0);
}

[[gnu::always_inline]] inline float chunk_vector(const Chunk &c) {
    const __m128 s = pairs_vector<true>(reinterpret_cast<const float *>(c.in), reinterpret_cast<float *>(c.out),
                                        c.len / 2, pair_index(0), _mm256_set1_pd(c.step),
                                        _mm256_set1_pd(c.g_prev), c.clip, _mm_setzero_ps());
    return c.odd_tail(combine(s));
}

// A span: a sample that starts it at an odd chunk sample and one that ends
// it at an even one go to their partial sums one at a time, the pairs
// between them in vector registers. Ramp indices count in doubles, exact
// below 2^53; a span beyond (a chunk of a huge decim, 2^53 samples into
// it) takes the plain loop, which converts each index itself.
void span_vector(const Span &sp, float sums[4]) {
    if (sp.first + sp.count >= uint64_t(1) << 53) [[unlikely]] {
        span_scalar(sp, sums);
        return;
    }
    size_t k = sp.count && (sp.first & 1) ? 1 : 0;
    if (k) span_sample(sp, 0, sums);
    const size_t pairs = (sp.count - k) / 2;
    if (pairs) {
        const __m128 s = pairs_vector<false>(
            reinterpret_cast<const float *>(sp.in + k), reinterpret_cast<float *>(sp.out + k), pairs,
            pair_index(sp.first + k), _mm256_set1_pd(sp.step), _mm256_set1_pd(sp.g_prev), sp.clip, _mm_loadu_ps(sums));
        _mm_storeu_ps(sums, s);
        k += 2 * pairs;
    }
    if (k < sp.count) span_sample(sp, k, sums);
}
#else
// Without hardware fma the scalar loops are as fast as anything else here.
constexpr auto chunk_vector = chunk_scalar;
constexpr auto span_vector = span_scalar;
#endif

void steps(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) { run_steps<chunk_vector>(a, in, out, n); }
void stream(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) { stream_for<chunk_vector, span_vector>(a, in, out, n); }

}  // namespace

extern const Variant variant = {steps, stream, span_vector, settle};

}  // namespace qv::agc::QV_ISA

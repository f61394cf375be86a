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

float chunk_vector(const Chunk &c) {
    const __m256d step = _mm256_set1_pd(c.step), g_prev = _mm256_set1_pd(c.g_prev);
    const __m256 clip = _mm256_set1_ps(c.clip), neg_clip = _mm256_set1_ps(-c.clip);
    const float *in = reinterpret_cast<const float *>(c.in);
    float *out = reinterpret_cast<float *>(c.out);
    __m256d index = _mm256_setr_pd(1.0, 1.0, 2.0, 2.0);
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
    const size_t pairs = c.len / 2;
    __m128 s = _mm_setzero_ps();
    size_t j = 0;
    if (pairs >= 2) {
        const __m128 lo = gained(0), hi = gained(1);
        s = _mm_fmadd_ps(hi, hi, _mm_mul_ps(lo, lo));  // fmaf(y, y, +0) is y * y, and a cycle sooner
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
        s = j ? _mm_fmadd_ps(y, y, s) : _mm_mul_ps(y, y);
        const __m256 clipped = clip_quad(_mm256_zextps128_ps256(y), clip, neg_clip);
        _mm_storeu_ps(out + 4 * j, _mm256_castps256_ps128(clipped));
    }
    return c.odd_tail(combine(s));
}
#else
// Without hardware fma the scalar chunk is as fast as anything else here.
constexpr auto chunk_vector = chunk_scalar;
#endif

void steps(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) { run_blocks<chunk_vector>(a, in, out, n); }

}  // namespace

extern const Variant variant = {steps, settle};

}  // namespace qv::agc::QV_ISA

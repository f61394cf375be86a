// The evaluation loop, compiled once per instruction set (QV_ISA names it):
// indices and fractions of a block of points are computed in vector
// registers where the level has them, then each point reads the table.
// Everything but the variant table has internal linkage (see cmake/isa.cmake).
#if defined(__AVX2__)
#include <immintrin.h>
#elif defined(__ARM_NEON)
#include <arm_neon.h>
#endif

#include <cstdint>

#include "common/stream_stores.h"
#include "interp/interp_scalar.h"
#include "interp/interp_variants.h"

namespace qv::interp::QV_ISA {
namespace {

// Points per block: index and fraction buffers stay in L1.
constexpr size_t kBlock = 256;

// The vector levels: one register of kLanes doubles and the few operations
// the remainder needs beyond + - *.
#if defined(__AVX512F__)
constexpr size_t kLanes = 8;
using Vec = __m512d;
Vec splat(double a) { return _mm512_set1_pd(a); }
Vec load(const double *p) { return _mm512_loadu_pd(p); }
void store(double *p, Vec a) { _mm512_storeu_pd(p, a); }
// The masked form: the unmasked one trips a false GCC 12 warning.
Vec floor_v(Vec a) { return _mm512_mask_roundscale_pd(a, 0xFF, a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
Vec fnmadd(Vec a, Vec b, Vec c) { return _mm512_fnmadd_pd(a, b, c); }  // c - a * b, rounded once
Vec wrap(Vec r, Vec n) { return _mm512_mask_sub_pd(r, _mm512_cmp_pd_mask(r, n, _CMP_GE_OQ), r, n); }
bool all_below(Vec a, Vec lim) { return _mm512_cmp_pd_mask(_mm512_abs_pd(a), lim, _CMP_LT_OQ) == 0xFF; }
void store_index(size_t *p, Vec r) { _mm512_storeu_si512(p, _mm512_cvttpd_epu64(r)); }
#elif defined(__AVX2__)
constexpr size_t kLanes = 4;
using Vec = __m256d;
Vec splat(double a) { return _mm256_set1_pd(a); }
Vec load(const double *p) { return _mm256_loadu_pd(p); }
void store(double *p, Vec a) { _mm256_storeu_pd(p, a); }
Vec floor_v(Vec a) { return _mm256_floor_pd(a); }
Vec fnmadd(Vec a, Vec b, Vec c) { return _mm256_fnmadd_pd(a, b, c); }
Vec wrap(Vec r, Vec n) { return r - _mm256_and_pd(_mm256_cmp_pd(r, n, _CMP_GE_OQ), n); }
bool all_below(Vec a, Vec lim) {
    return _mm256_movemask_pd(_mm256_cmp_pd(_mm256_andnot_pd(splat(-0.0), a), lim, _CMP_LT_OQ)) == 0xF;
}
// r + 2^52 holds an integer 0 <= r < 2^52 in its low mantissa bits.
void store_index(size_t *p, Vec r) {
    const __m256i bits = _mm256_castpd_si256(r + splat(0x1p52)), magic = _mm256_castpd_si256(splat(0x1p52));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), _mm256_xor_si256(bits, magic));
}
#elif defined(__ARM_NEON)
constexpr size_t kLanes = 2;
using Vec = float64x2_t;
Vec splat(double a) { return vdupq_n_f64(a); }
Vec load(const double *p) { return vld1q_f64(p); }
void store(double *p, Vec a) { vst1q_f64(p, a); }
Vec floor_v(Vec a) { return vrndmq_f64(a); }
Vec fnmadd(Vec a, Vec b, Vec c) { return vfmsq_f64(c, a, b); }
Vec wrap(Vec r, Vec n) { return vbslq_f64(vcgeq_f64(r, n), r - n, r); }
bool all_below(Vec a, Vec lim) {
    const uint64x2_t below = vcltq_f64(vabsq_f64(a), lim);
    return (vgetq_lane_u64(below, 0) & vgetq_lane_u64(below, 1)) != 0;
}
// r holds integers 0 <= r < 2^48, which convert exactly.
void store_index(size_t *p, Vec r) { vst1q_u64(reinterpret_cast<uint64_t *>(p), vcvtq_u64_f64(r)); }
#endif

// One complex value of the table in a 128-bit register, for evaluate_block:
// its loads, a store (streamed: past the caches, out 16-byte aligned), and
// the linear formula part by part, fused as evaluate() does it.
#if defined(__AVX2__)
#define QV_INTERP_LANES 1
using Pair = __m128d;
Pair load_pair(const double *p) { return _mm_loadu_pd(p); }
template <bool Stream>
void put_pair(double *p, Pair a) {
    if constexpr (Stream) _mm_stream_pd(p, a);
    else _mm_storeu_pd(p, a);
}
Pair lerp(Pair a, Pair b, double t) { return _mm_fmadd_pd(_mm_sub_pd(b, a), _mm_set1_pd(t), a); }
// Outputs are streamed where long enough; the fence orders those stores
// before any later store.
constexpr bool kStreams = true;
void stream_fence() { _mm_sfence(); }
#elif defined(__ARM_NEON)
#define QV_INTERP_LANES 1
using Pair = float64x2_t;
Pair load_pair(const double *p) { return vld1q_f64(p); }
template <bool Stream>
void put_pair(double *p, Pair a) {
    vst1q_f64(p, a);
}
Pair lerp(Pair a, Pair b, double t) { return vfmaq_f64(a, b - a, vdupq_n_f64(t)); }
// No store goes around the caches here (see arith_vec_neon.h).
constexpr bool kStreams = false;
void stream_fence() {}
#endif

#if defined(QV_INTERP_LANES)
// locate() for the kLanes points at x with fast_remainder; false when some
// point lies outside its range (huge, infinite or NaN).
bool locate_lanes(const double *x, Vec n, Vec inv_n, size_t *index, size_t *next, double *frac) {
    const Vec p = load(x), f = floor_v(p);
    store(frac, p - f);
    Vec r = fnmadd(floor_v(f * inv_n), n, f);
    r = wrap(fnmadd(floor_v(r * inv_n), n, r), n);
    store_index(index, r);
    store_index(next, wrap(r + splat(1.0), n));
    return all_below(f, splat(kFastMaxF));
}
#endif

void locate(const double *x, size_t count, size_t n, size_t *index, size_t *next, double *frac) {
    const double dn = double(n), inv_n = 1.0 / dn;
    size_t k = 0;
#if defined(QV_INTERP_LANES)
    if (n <= kFastMaxN) {
        bool all_fast = true;
        for (; k + kLanes <= count; k += kLanes)
            all_fast &= locate_lanes(x + k, splat(dn), splat(inv_n), index + k, next + k, frac + k);
        // Rare: redo the points out of the fast range with the plain formula.
        for (size_t j = 0; !all_fast && j < k; ++j) {
            const double f = std::floor(x[j]);
            if (std::fabs(f) < kFastMaxF) continue;
            index[j] = plain_index(f, n);
            next[j] = index[j] + 1 == n ? 0 : index[j] + 1;
        }
    }
#endif
    for (; k < count; ++k) {
        const double f = std::floor(x[k]);
        index[k] = fast_index(f, n, dn, inv_n);
        next[k] = index[k] + 1 == n ? 0 : index[k] + 1;
        frac[k] = x[k] - f;
    }
}

// evaluate() for each located point. The vector levels keep a complex value
// in one 128-bit register and do per part exactly what evaluate() does;
// Stream selects non-temporal stores (out 16-byte aligned).
template <int M, bool Stream>
void evaluate_block(const double *v, size_t n, const size_t *index, const size_t *next, const double *frac,
                    size_t count, double *out) {
#if defined(QV_INTERP_LANES)
    (void)n;
    for (size_t k = 0; k < count; ++k) {
        if constexpr (M == QV_INTERP_FLOOR) {
            put_pair<Stream>(out + 2 * k, load_pair(v + 2 * index[k]));
        } else if constexpr (M == QV_INTERP_NEAREST) {
            const size_t up = size_t(0) - size_t(frac[k] > 0.5);  // a mask, so no branch to mispredict
            put_pair<Stream>(out + 2 * k, load_pair(v + 2 * ((next[k] & up) | (index[k] & ~up))));
        } else {
            put_pair<Stream>(out + 2 * k, lerp(load_pair(v + 2 * index[k]), load_pair(v + 2 * next[k]), frac[k]));
        }
    }
#else
    (void)next;
    for (size_t k = 0; k < count; ++k) evaluate<M>(v, n, index[k], frac[k], out + 2 * k);
#endif
}

template <int M, bool Stream>
void execute_blocks(const interp_table_t *t, const double *x, size_t count, double *out) {
    const double *v = reinterpret_cast<const double *>(t->values);
    size_t index[kBlock], next[kBlock];
    double frac[kBlock];
    for (size_t done = 0; done < count; done += kBlock) {
        const size_t m = count - done < kBlock ? count - done : kBlock;
        locate(x + done, m, t->n, index, next, frac);
        evaluate_block<M, Stream>(v, t->n, index, next, frac, m, out + 2 * done);
    }
}

template <int M>
void execute_method(const interp_table_t *t, const double *x, size_t count, double *out) {
#if defined(QV_INTERP_LANES)
    // Streamed when aligned to 16 bytes: the table and the points stay cached.
    if (kStreams && count >= qv::kStreamBytes / sizeof(qv_cf64) && reinterpret_cast<uintptr_t>(out) % 16 == 0) {
        execute_blocks<M, true>(t, x, count, out);
        stream_fence();
        return;
    }
#endif
    execute_blocks<M, false>(t, x, count, out);
}

void execute(const interp_table_t *t, const double *x, size_t count, qv_cf64 *out) {
    double *o = reinterpret_cast<double *>(out);
    switch (t->method) {
        case QV_INTERP_FLOOR: return execute_method<QV_INTERP_FLOOR>(t, x, count, o);
        case QV_INTERP_NEAREST: return execute_method<QV_INTERP_NEAREST>(t, x, count, o);
        default: return execute_method<QV_INTERP_LINEAR>(t, x, count, o);
    }
}

}  // namespace

#undef QV_INTERP_LANES

extern const Variant variant = {.locate = locate, .execute = execute};

}  // namespace qv::interp::QV_ISA

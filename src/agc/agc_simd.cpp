// The AGC's block path with its chunks in vector registers, compiled once per
// instruction set (QV_ISA names it): the kernels of a pair of samples and of
// a bank's chunks side by side for AVX2 here, for Advanced SIMD in
// agc_neon.h, and the drivers over them. Everything but the variant table
// has internal linkage (see cmake/isa.cmake).
#include "agc/agc_drivers.h"
#include "agc/agc_variants.h"

#if defined(__AVX2__) || defined(__ARM_NEON)
#define QV_AGC_VECTOR 1
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "agc/agc_lanes.h"
#endif
#if defined(__AVX2__)
#include <immintrin.h>
#elif defined(__ARM_NEON)
#include "agc/agc_neon.h"
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

// A pair's ramp in double lanes: its indices, step and start. The partial sums.
using RampLanes = __m256d;
RampLanes splat_ramp(double x) { return _mm256_set1_pd(x); }
using Sums = __m128;
Sums load_sums(const float sums[4]) { return _mm_loadu_ps(sums); }
void store_sums(float sums[4], Sums s) { _mm_storeu_ps(sums, s); }

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

// Four lanes even where eight would fit: two chains of four channels outrun
// one of eight, and the lines of four rows, in and out, fit the ways of a
// first-level cache set (measured on Zen 4).
using Wide = D4;

// The chunks of the channels in the lanes of a vector, side by side: the
// samples of every chunk go pair by pair onto its partial sums, one serial
// chain of fmas per chunk, and taking the chunks' samples in turn keeps
// those chains in flight together. Chunk j goes from rows.in(j) to
// rows.out(j), its ramp in lane j of g_prev and step; lanes from `live` on
// are left alone unless `full` says there are none. Returns the power sums
// in lanes, as chunk_scalar forms them.
//
// Eight samples (a cache line) of every chunk at a time: their gains for
// all lanes at once (eight vector fmas, Lanes::quad_gains), then lane by
// lane the samples' floats times them, the squares of the four pairs onto
// the sums in turn, the clip, the store. Rows are often a multiple of 4 KiB
// apart (those of a block, and buffers of their own), and then every
// chunk's line of every row, in and out, falls in one set of the
// first-level cache: each line is taken in one go, before the cache has to
// evict it for another row's.
template <class V, bool full, class LaneRows>
[[gnu::always_inline]] inline V chunks_side_by_side(const LaneRows &rows, size_t live, size_t len, V g_prev, V step,
                                                    float c) {
    using L = Lanes<V>;
    constexpr size_t W = L::count;
    auto lane = [&](size_t j) QV_INLINE_LAMBDA { return full || j < live; };
    __m128 sums[W];
    for (__m128 &s : sums) s = _mm_setzero_ps();
    const __m256 clip = _mm256_set1_ps(c), neg_clip = _mm256_set1_ps(-c);
    // Four samples of lane j from sample i on, under the gains of q.
    auto quad = [&]<size_t j>(size_t i, const typename L::Quad &q) QV_INLINE_LAMBDA {
        const __m256 x = _mm256_loadu_ps(reinterpret_cast<const float *>(rows.in(j) + i));
        const __m256 y = _mm256_mul_ps(x, L::template gains_of<j>(q));
        const __m128 lo = _mm256_castps256_ps128(y), hi = _mm256_extractf128_ps(y, 1);
        sums[j] = _mm_fmadd_ps(hi, hi, _mm_fmadd_ps(lo, lo, sums[j]));
        _mm256_storeu_ps(reinterpret_cast<float *>(rows.out(j) + i), clip_quad(y, clip, neg_clip));
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
            const __m128 g = pair_gains(L::template broadcast<j>(step), pair_index(done), L::template broadcast<j>(g_prev));
            const __m128 pair = _mm_mul_ps(_mm_loadu_ps(reinterpret_cast<const float *>(x + done)), g);
            sums[j] = _mm_fmadd_ps(pair, pair, sums[j]);
            _mm_storeu_ps(reinterpret_cast<float *>(y + done),
                          _mm256_castps256_ps128(clip_quad(_mm256_zextps128_ps256(pair), clip, neg_clip)));
        }
        power[j] = combine(sums[j]);
        if (len & 1)
            power[j] = odd_sample(ramp_gained(x[len - 1], double(len), g_prev[j], step[j]), y + len - 1, c, power[j]);
    });
    return L::widen(power);
}

// The chunks of the channels in the lanes of a vector as an interleaved
// block holds them: sample i of chunk j at in + i stride + j (stride, the
// block's channel count). One load takes sample i of every lane, its floats
// lined up with the lanes' gains; the squares of even samples go onto one
// vector of partial sums, those of odd ones onto another (per lane: sums 0, 1
// and 2, 3 of chunk_scalar), two chains in flight. Lanes from `live` on are
// neither read nor written unless `full` says there are none. Returns the
// power sums in lanes, as chunk_scalar forms them.
template <class V, bool full>
[[gnu::always_inline]] inline V chunks_interleaved(const qv_cf32 *in, qv_cf32 *out, size_t stride, size_t live,
                                                   size_t len, V g_prev, V step, float c) {
    using L = Lanes<V>;
    static_assert(L::count == 4, "a lane's sample is two of the eight floats of a load");
    const __m256 clip = _mm256_set1_ps(c), neg_clip = _mm256_set1_ps(-c);
    const __m256i floats = _mm256_cmpgt_epi32(_mm256_set1_epi32(int(2 * live)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const __m256i spread = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    // Sample i of every lane times its gain float(fma(step, i + 1, g_prev)).
    auto gained = [&](size_t i) QV_INLINE_LAMBDA {
        const float *x = reinterpret_cast<const float *>(in + i * stride);
        const __m256 v = full ? _mm256_loadu_ps(x) : _mm256_maskload_ps(x, floats);
        const __m128 g = _mm256_cvtpd_ps(L::fma(step, L::splat(double(i + 1)), g_prev));
        return _mm256_mul_ps(v, _mm256_permutevar8x32_ps(_mm256_castps128_ps256(g), spread));
    };
    auto store = [&](size_t i, __m256 y) QV_INLINE_LAMBDA {
        float *to = reinterpret_cast<float *>(out + i * stride);
        const __m256 clipped = clip_quad(y, clip, neg_clip);
        if (full)
            _mm256_storeu_ps(to, clipped);
        else
            _mm256_maskstore_ps(to, floats, clipped);
    };
    __m256 even = _mm256_setzero_ps(), odd = _mm256_setzero_ps();
    for (size_t i = 0; i + 2 <= len; i += 2) {
        const __m256 y0 = gained(i), y1 = gained(i + 1);  // both read before either is written (in place)
        even = _mm256_fmadd_ps(y0, y0, even);
        odd = _mm256_fmadd_ps(y1, y1, odd);
        store(i, y0);
        store(i + 1, y1);
    }
    // (s0 + s1) + (s2 + s3) in the even floats, then an odd chunk's last
    // sample onto it, its real part's square first.
    __m256 sum = _mm256_add_ps(_mm256_add_ps(even, _mm256_movehdup_ps(even)), _mm256_add_ps(odd, _mm256_movehdup_ps(odd)));
    if (len & 1) {
        const __m256 y = gained(len - 1), im = _mm256_movehdup_ps(y);
        sum = _mm256_fmadd_ps(im, im, _mm256_fmadd_ps(y, y, sum));
        store(len - 1, y);
    }
    const __m256 packed = _mm256_permutevar8x32_ps(sum, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
    return _mm256_cvtps_pd(_mm256_castps256_ps128(packed));
}
#endif

#if defined(QV_AGC_VECTOR)
[[gnu::always_inline]] inline float chunk_vector(const Chunk &c) {
    const Sums s = pairs_vector<true>(reinterpret_cast<const float *>(c.in), reinterpret_cast<float *>(c.out),
                                      c.len / 2, pair_index(0), splat_ramp(c.step), splat_ramp(c.g_prev), c.clip,
                                      Sums{});
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
        const Sums s = pairs_vector<false>(
            reinterpret_cast<const float *>(sp.in + k), reinterpret_cast<float *>(sp.out + k), pairs,
            pair_index(sp.first + k), splat_ramp(sp.step), splat_ramp(sp.g_prev), sp.clip, load_sums(sums));
        store_sums(sums, s);
        k += 2 * pairs;
    }
    if (k < sp.count) span_sample(sp, k, sums);
}

void steps(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) { run_steps<chunk_vector>(a, in, out, n); }
void stream(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) { stream_for<chunk_vector, span_vector>(a, in, out, n); }

// A bank's channels in lanes (Wide, the lanes of one vector, is the set's
// choice). Each chunk round runs the chunks of every channel (their sample
// work is independent), then the loop updates of all of them side by side
// in the lanes of G vectors: G chains of updates in flight, where one
// stream has one.

// The lanes' loop state from the records (lanes past `live`: a fresh loop's).
template <class V>
void load_lanes(const agc_t *chan, size_t live, LaneLoop<V> &s, V &g_last) {
    constexpr size_t W = Lanes<V>::count;
    double gain[W], power[W], last[W];
    for (size_t j = 0; j < W; ++j) {
        gain[j] = j < live ? chan[j].gain_db : 0.0;
        power[j] = j < live ? chan[j].p_avg : 1.0;
        last[j] = j < live ? chan[j].g_last : 1.0;
    }
    std::memcpy(&s.gain_db, gain, sizeof gain);
    std::memcpy(&s.p_avg, power, sizeof power);
    std::memcpy(&g_last, last, sizeof last);
}

template <class V>
void store_lanes(agc_t *chan, size_t live, const LaneLoop<V> &s, V g_last) {
    for (size_t j = 0; j < std::min(live, Lanes<V>::count); ++j) {
        chan[j].gain_db = s.gain_db[j];
        chan[j].p_avg = s.p_avg[j];
        chan[j].g_last = g_last[j];
    }
}

// Telemetry of one update of the live lanes, channel by channel.
template <class V>
void record_lanes(agc_t *chan, size_t live, const LaneLoop<V> &s, V level) {
    for (size_t j = 0; j < std::min(live, Lanes<V>::count); ++j) telemetry_record(chan + j, s.gain_db[j], level[j]);
}

// An interleaved block's channels, as a recording stores them: channel c's
// sample i at i channels + c. in(c) and out(c) are channel c's first samples.
struct InterleavedRows {
    const qv_cf32 *in_block;
    qv_cf32 *out_block;
    size_t channels;
    const qv_cf32 *in(size_t c) const { return in_block + c; }
    qv_cf32 *out(size_t c) const { return out_block + c; }
};

template <class Rows>
constexpr bool kInterleaved = std::is_same_v<Rows, InterleavedRows>;

// The rows of a vector's lanes j = 0 .. live - 1, rows first + j from
// sample `from` on, as chunks_side_by_side takes them: a block's rows stay
// a block (lane j at j rows further), rows of their own become a pointer
// per lane.
template <size_t W>
BlockRows lane_rows(const BlockRows &r, size_t first, size_t, size_t from) {
    return {r.in(first) + from, r.out(first) + from, r.stride};
}

template <size_t W>
struct LanePointers {
    const qv_cf32 *in_lane[W] = {};
    qv_cf32 *out_lane[W] = {};
    const qv_cf32 *in(size_t j) const { return in_lane[j]; }
    qv_cf32 *out(size_t j) const { return out_lane[j]; }
};

template <size_t W>
LanePointers<W> lane_rows(const PointerRows &r, size_t first, size_t live, size_t from) {
    LanePointers<W> lanes;
    for (size_t j = 0; j < std::min(live, W); ++j) {
        lanes.in_lane[j] = r.in(first + j) + from;
        lanes.out_lane[j] = r.out(first + j) + from;
    }
    return lanes;
}

// How many chunks each vector of lanes runs behind the one before: enough
// to put its lines half a page (2 KiB) away, so that two vectors' rows,
// which a block often puts a multiple of 4 KiB apart, do not crowd the same
// set of the first-level cache. None where a chunk spans half a page, or for
// a call too short to make up for the rounds in which only one vector runs.
size_t lag_for(uint64_t d, size_t n) {
    constexpr uint64_t kHalfPage = 2048 / sizeof(qv_cf32);
    const size_t lag = d < kHalfPage ? size_t(kHalfPage / d) : 0;
    return n / d >= 8 * lag ? lag : 0;
}

// run_blocks<chunk_vector, acquire, onset> over samples from .. from + n of
// rows first .. first + live, through the live channels chan[0 .. live),
// live in ((G - 1) W, G W]: channel g W + j in lane j of vector g. Each
// round takes the next chunk of every vector (lag_for rounds later for each
// vector than for the one before; none for an interleaved block, whose
// vectors share its lines): the chunks' samples, then the loop updates of
// the vectors side by side.
template <class V, size_t G, bool acquire, bool onset, class Rows>
void run_lanes(agc_t *chan, size_t live, const Rows &rows, size_t first, size_t from, size_t n) {
    using L = Lanes<V>;
    constexpr size_t W = L::count;
    const agc_t &bank = chan[0];
    const uint64_t d = bank.decim ? bank.decim : 1;
    const ChunkShape full = shape_for(&bank, d);
    const BankShape shape{bank.ref_db, rules_for(&bank)};
    const float clip = float(db_to_amp(bank.clip_db));
    bool watched = false;
    for (size_t c = 0; c < live; ++c) watched |= chan[c].tlm != nullptr;
    LaneLoop<V> s[G];
    V g_prev[G], g_new[G];
    unrolled<G>([&]<size_t g>() QV_INLINE_LAMBDA {
        load_lanes(chan + g * W, live - g * W, s[g], g_prev[g]);
        g_new[g] = db_to_amp_lanes(s[g].gain_db);
    });
    const size_t lag = G > 1 && !kInterleaved<Rows> ? lag_for(d, n) : 0;
    size_t offset[G] = {}, wait[G];
    for (size_t g = 0; g < G; ++g) wait[g] = g * lag;
    // A round reads a vector's k, step and sums only where its len is not 0.
    ChunkShape k[G]{};
    V step[G]{}, sums[G]{};
    while (offset[G - 1] < n) {
        size_t len[G];
        unrolled<G>([&]<size_t g>() QV_INLINE_LAMBDA {
            len[g] = wait[g] || offset[g] >= n ? 0 : size_t(std::min<uint64_t>(d, n - offset[g]));
            if (!len[g]) return;
            k[g] = len[g] == d ? full : shape_for(&bank, len[g]);  // only a last chunk is shorter
            step[g] = (g_new[g] - g_prev[g]) * L::splat(k[g].r);
            if constexpr (kInterleaved<Rows>) {
                const size_t at = (from + offset[g]) * rows.channels + first + g * W;
                const qv_cf32 *in = rows.in_block + at;
                qv_cf32 *out = rows.out_block + at;
                if (live >= (g + 1) * W)
                    sums[g] = chunks_interleaved<V, true>(in, out, rows.channels, W, len[g], g_prev[g], step[g], clip);
                else
                    sums[g] = chunks_interleaved<V, false>(in, out, rows.channels, live - g * W, len[g], g_prev[g],
                                                           step[g], clip);
            } else {
                const auto lanes = lane_rows<W>(rows, first + g * W, live - g * W, from + offset[g]);
                if (live >= (g + 1) * W)
                    sums[g] = chunks_side_by_side<V, true>(lanes, W, len[g], g_prev[g], step[g], clip);
                else
                    sums[g] = chunks_side_by_side<V, false>(lanes, live - g * W, len[g], g_prev[g], step[g], clip);
            }
        });
        unrolled<G>([&]<size_t g>() QV_INLINE_LAMBDA {
            if (!len[g]) {
                wait[g] -= wait[g] != 0;
                return;
            }
            V level, g_start;
            const V g_next = chunk_update_lanes<V, acquire, onset>(s[g], sums[g], k[g], shape, g_prev[g], step[g],
                                                                   g_new[g], level, g_start);
            if (watched) [[unlikely]]
                record_lanes(chan + g * W, live - g * W, s[g], level);
            g_prev[g] = g_start;
            g_new[g] = g_next;
            offset[g] += len[g];
        });
    }
    unrolled<G>([&]<size_t g>() QV_INLINE_LAMBDA { store_lanes(chan + g * W, live - g * W, s[g], g_prev[g]); });
}

// The whole chunks of every channel over samples from .. from + n of its
// row: passes of two vectors of lanes, then what is left in two, one, or (a
// single channel of its own row) the stream's own loop.
template <bool acquire, bool onset, class Rows>
void bank_blocks(agc_t *chan, size_t channels, const Rows &rows, size_t from, size_t n) {
    constexpr size_t W = Lanes<Wide>::count;
    size_t c = 0;
    for (; channels - c >= 2 * W; c += 2 * W)
        run_lanes<Wide, 2, acquire, onset>(chan + c, 2 * W, rows, c, from, n);
    const size_t rest = channels - c;
    if (rest > W)
        run_lanes<Wide, 2, acquire, onset>(chan + c, rest, rows, c, from, n);
    else if (rest > 1 || (rest == 1 && kInterleaved<Rows> && channels > 1))
        run_lanes<Wide, 1, acquire, onset>(chan + c, rest, rows, c, from, n);
    else if (rest == 1)
        run_blocks<chunk_vector, acquire, onset>(chan + c, rows.in(c) + from, rows.out(c) + from, n);
}

void bank_steps(agc_t *chan, size_t channels, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    for (size_t c = 0; c < channels; ++c) chan[c].pending = agc_pending_t{};
    if (!n) return;
    with_modes(chan, [&]<bool acquire, bool onset>() {
        bank_blocks<acquire, onset>(chan, channels, BlockRows{in, out, n}, 0, n);
    });
}

template <class Rows>
void bank_stream_of(agc_t *chan, size_t channels, const Rows &rows, size_t n) {
    with_modes(chan, [&]<bool acquire, bool onset>() {
        run_bank_stream<span_vector, bank_blocks<acquire, onset, Rows>, stream, acquire, onset>(chan, channels, rows, n);
    });
}

void bank_stream(agc_t *chan, size_t channels, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    bank_stream_of(chan, channels, BlockRows{in, out, n}, n);
}

void bank_stream_rows(agc_t *chan, size_t channels, const qv_cf32 *const *in, qv_cf32 *const *out, size_t n) {
    bank_stream_of(chan, channels, PointerRows{in, out}, n);
}

void bank_steps_interleaved(agc_t *chan, size_t channels, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    for (size_t c = 0; c < channels; ++c) chan[c].pending = agc_pending_t{};
    if (!n) return;
    with_modes(chan, [&]<bool acquire, bool onset>() {
        bank_blocks<acquire, onset>(chan, channels, InterleavedRows{in, out, channels}, 0, n);
    });
}
#else
// Without hardware fma the scalar loops are as fast as anything else here.
constexpr auto span_vector = span_scalar;
constexpr auto steps = steps_scalar;
constexpr auto stream = stream_scalar;
constexpr auto bank_steps = bank_steps_scalar;
constexpr auto bank_stream = bank_stream_scalar;
constexpr auto bank_stream_rows = bank_stream_rows_scalar;
constexpr auto bank_steps_interleaved = bank_steps_interleaved_scalar;
#endif

}  // namespace

extern const Variant variant = {
    .steps = steps,
    .stream = stream,
    .span = span_vector,
    .bank_steps = bank_steps,
    .bank_stream = bank_stream,
    .bank_stream_rows = bank_stream_rows,
    .settle = settle,
    .bank_steps_interleaved = bank_steps_interleaved,
};

}  // namespace qv::agc::QV_ISA

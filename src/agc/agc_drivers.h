// The block path's drivers, shared by every variant: steps, stream with the
// chunk it carries across calls, and a bank's stream, each over a variant's
// chunk and span kernels; and, over the plain loops of agc_scalar.h, the
// references of Variant::steps, stream, bank_steps, bank_stream and
// bank_steps_interleaved.
// Internal linkage: compiled once per instruction set (agc_simd.cpp) and once
// for the reference (agc_core.cpp).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "agc/agc_loop.h"
#include "agc/agc_scalar.h"
#include "agc/agc_variants.h"

namespace qv::agc {
namespace {

// Calls f.template operator()<acquire, onset>() with the record's modes: the
// acquisition bit, and whether the gate or the fast attack is on.
template <class F>
[[gnu::always_inline]] inline void with_modes(const agc_t *a, F &&f) {
    const bool acquire = a->flags & QV_AGC_ACQUIRE, onset = onset_on(a);
    if (acquire && onset)
        f.template operator()<true, true>();
    else if (acquire)
        f.template operator()<true, false>();
    else if (onset)
        f.template operator()<false, true>();
    else
        f.template operator()<false, false>();
}

// The block path over n samples, each chunk through `chunk` (chunk_scalar
// for the reference, a variant's vector chunk) and chunk_update. Samples are
// `stride` apart, which only chunk_scalar takes (see Chunk).
template <auto chunk, bool acquire, bool onset>
void run_blocks(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n, size_t stride = 1) {
    const uint64_t d = a->decim ? a->decim : 1;
    const ChunkShape full = shape_for(a, d);
    const CallRules rules = rules_for(a);
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
        const float power_sum = chunk(Chunk{in + offset * stride, out + offset * stride, len, g_prev, step, clip, stride});
        bool restart;
        const double g_next = chunk_update<acquire, onset>(a, power_sum, k, rules, g_prev, step, g_new, restart);
        g_prev = onset && restart ? g_next : g_new;  // after a fast attack, no ramp up to the new gain
        g_new = g_next;
        offset += len;
    }
    a->g_last = g_prev;
}

// The block path with the modes as the call finds them; its grid starts at
// the call's first sample, so a pending chunk of stream is dropped.
template <auto chunk>
void run_steps(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n, size_t stride = 1) {
    a->pending = agc_pending_t{};
    with_modes(a, [&]<bool acquire, bool onset>() { run_blocks<chunk, acquire, onset>(a, in, out, n, stride); });
}

// The ramp of the chunk the loop state stands at (the pending one, or the
// next), over len samples: from g_last to the gain of the current command,
// with the step run_blocks forms.
struct Ramp {
    double g_prev, g_new, step;
};

inline Ramp ramp_for(const agc_t *a, uint64_t len) {
    const double g_prev = a->g_last, g_new = db_to_amp(a->gain_db);
    return {g_prev, g_new, (g_new - g_prev) * (1.0 / double(len))};
}

// The power sum of a chunk whose samples have all gone onto the partial
// sums but an odd chunk's last: the four combined as chunk_scalar does.
inline float combined(const float sums[4]) { return (sums[0] + sums[1]) + (sums[2] + sums[3]); }

// The loop update of the pending chunk of len samples, under ramp r, once its
// power sum is complete; nothing is pending after it.
template <bool acquire, bool onset>
void finish_chunk(agc_t *a, float power_sum, uint64_t len, const Ramp &r) {
    bool restart;
    const double g_next =
        chunk_update<acquire, onset>(a, power_sum, shape_for(a, len), rules_for(a), r.g_prev, r.step, r.g_new, restart);
    a->g_last = onset && restart ? g_next : r.g_new;
    a->pending = agc_pending_t{};
}

// The next samples of a pending chunk, at most up to its end: through `span`
// onto the carried sums, and, when they complete it, the chunk's update as
// run_blocks makes it. Returns how many samples it took.
template <auto span, bool acquire, bool onset>
size_t resume_chunk(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n, float clip) {
    agc_pending_t &p = a->pending;
    if (!p.done || !n) return 0;
    const uint64_t left = p.len - p.done;
    const Ramp r = ramp_for(a, p.len);
    if (n < left) {
        span(Span{in, out, n, p.done, r.g_prev, r.step, clip}, p.sums);
        p.done += n;
        return n;
    }
    const size_t lanes = size_t((p.len & ~uint64_t(1)) - p.done);  // all but an odd chunk's last sample
    span(Span{in, out, lanes, p.done, r.g_prev, r.step, clip}, p.sums);
    float sum = combined(p.sums);
    if (p.len & 1) sum = odd_sample(ramp_gained(in[lanes], double(p.len), r.g_prev, r.step), out + lanes, clip, sum);
    finish_chunk<acquire, onset>(a, sum, p.len, r);
    return size_t(left);
}

// Starts a chunk of len samples with the n < len samples at in.
template <auto span>
void start_chunk(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n, uint64_t len, float clip) {
    if (!n) return;
    const Ramp r = ramp_for(a, len);
    a->pending = agc_pending_t{n, len, {0.0f, 0.0f, 0.0f, 0.0f}};
    span(Span{in, out, n, 0, r.g_prev, r.step, clip}, a->pending.sums);
}

// The block path over the next n samples of a stream: the pending chunk,
// then whole chunks through run_blocks, then the start of a pending one.
template <auto chunk, auto span, bool acquire, bool onset>
void run_stream(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    const float clip = float(db_to_amp(a->clip_db));
    const size_t taken = resume_chunk<span, acquire, onset>(a, in, out, n, clip);
    if (a->pending.done) return;  // n ended inside it
    const uint64_t d = a->decim ? a->decim : 1;
    const size_t rest = n - taken, whole = rest - size_t(rest % d);
    if (whole) run_blocks<chunk, acquire, onset>(a, in + taken, out + taken, whole);
    start_chunk<span>(a, in + taken + whole, out + taken + whole, rest - whole, d, clip);
}

template <auto chunk, auto span>
void stream_for(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    with_modes(a, [&]<bool acquire, bool onset>() { run_stream<chunk, span, acquire, onset>(a, in, out, n); });
}

// Where a bank call's rows are, n samples each: row c of one block, rows
// `stride` apart (bank_steps, bank_stream), or anywhere, at a pointer of its
// own (bank_stream_rows). in(c) and out(c) are row c's first samples.
struct BlockRows {
    const qv_cf32 *in_block;
    qv_cf32 *out_block;
    size_t stride;
    const qv_cf32 *in(size_t c) const { return in_block + c * stride; }
    qv_cf32 *out(size_t c) const { return out_block + c * stride; }
};

struct PointerRows {
    const qv_cf32 *const *in_rows;
    qv_cf32 *const *out_rows;
    const qv_cf32 *in(size_t c) const { return in_rows[c]; }
    qv_cf32 *out(size_t c) const { return out_rows[c]; }
};

// A bank's stream call as run_stream makes it on each channel, for a
// variant whose `blocks` runs the whole chunks of all channels at once:
// blocks(chan, channels, rows, from, n) takes samples from .. from + n of
// each row. Channels whose pending chunks differ (set_state can make them)
// have chunk grids of their own: each goes through `stream`.
template <auto span, auto blocks, auto stream, bool acquire, bool onset, class Rows>
void run_bank_stream(agc_t *chan, size_t channels, const Rows &rows, size_t n) {
    const agc_pending_t &p = chan[0].pending;
    for (size_t c = 1; c < channels; ++c)
        if (chan[c].pending.done != p.done || chan[c].pending.len != p.len) {
            for (size_t k = 0; k < channels; ++k) stream(chan + k, rows.in(k), rows.out(k), n);
            return;
        }
    const float clip = float(db_to_amp(chan[0].clip_db));
    size_t taken = 0;
    for (size_t c = 0; c < channels; ++c)
        taken = resume_chunk<span, acquire, onset>(chan + c, rows.in(c), rows.out(c), n, clip);
    if (p.done) return;  // n ended inside it
    const uint64_t d = chan[0].decim ? chan[0].decim : 1;
    const size_t rest = n - taken, whole = rest - size_t(rest % d);
    if (whole) blocks(chan, channels, rows, taken, whole);
    for (size_t c = 0; c < channels; ++c)
        start_chunk<span>(chan + c, rows.in(c) + taken + whole, rows.out(c) + taken + whole, rest - whole, d, clip);
}

// The references of Variant::steps and Variant::stream.
inline void steps_scalar(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) { run_steps<chunk_scalar>(a, in, out, n); }
inline void stream_scalar(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    stream_for<chunk_scalar, span_scalar>(a, in, out, n);
}

// The references of Variant::bank_steps, bank_stream and bank_stream_rows:
// row c through channel c, one channel after the other.
inline void bank_steps_scalar(agc_t *chan, size_t channels, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    for (size_t c = 0; c < channels; ++c) steps_scalar(chan + c, in + c * n, out + c * n, n);
}
inline void bank_stream_scalar(agc_t *chan, size_t channels, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    for (size_t c = 0; c < channels; ++c) stream_scalar(chan + c, in + c * n, out + c * n, n);
}
inline void bank_stream_rows_scalar(agc_t *chan, size_t channels, const qv_cf32 *const *in, qv_cf32 *const *out,
                                    size_t n) {
    for (size_t c = 0; c < channels; ++c) stream_scalar(chan + c, in[c], out[c], n);
}

// The reference of Variant::bank_steps_interleaved: channel c's n samples at
// in + c, in + c + channels, ... (an interleaved (n, channels) block) as
// steps_scalar takes a row.
inline void bank_steps_interleaved_scalar(agc_t *chan, size_t channels, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    for (size_t c = 0; c < channels; ++c) run_steps<chunk_scalar>(chan + c, in + c, out + c, n, channels);
}

}  // namespace
}  // namespace qv::agc

// Every instruction-set variant of the AGC block path (steps, stream over
// random splits, and the span kernel of a chunk that a call starts, resumes
// or completes), of a bank's steps and stream (over one block and over rows
// of their own, and steps over an interleaved block), and of the settling loop
// against the scalar reference, bit for bit, with the acquisition mode off
// and on and the burst settings (ceiling, gate, fast attack) off and on:
// outputs, loop state, the pending chunk, a bank's telemetry, and the guard
// elements around the output.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "agc/agc_bank.h"
#include "agc/agc_variants.h"
#include "variants.h"

using namespace qv::agc;
using qv::test::fail;

namespace {

using Steps = void (*)(agc_t *, const qv_cf32 *, qv_cf32 *, size_t);

// The exported bank calls over the records of a bank.
template <auto call>
void exported_bank(agc_t *chan, size_t channels, const qv_cf32 *in, qv_cf32 *out, size_t n) {
    agc_bank_t bank{channels, chan};
    call(&bank, in, out, n);
}

void exported_rows(agc_t *chan, size_t channels, const qv_cf32 *const *in, qv_cf32 *const *out, size_t n) {
    agc_bank_t bank{channels, chan};
    agc_bank_stream_rows(&bank, in, out, n);
}

// The exported block paths (the span and the settling loop have no entries of their own).
const Variant kExported = {agc_steps,     agc_stream,      reference.span, exported_bank<agc_bank_steps>,
                           exported_bank<agc_bank_stream>, exported_rows, reference.settle,
                           exported_bank<agc_bank_steps_interleaved>};
const std::vector<qv::test::Row<Variant>> kRows = qv::test::rows(QV_EVERY_VARIANT, {{"exported", &kExported}});

std::mt19937_64 rng(20261208);

double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }

template <class T, size_t N>
T pick(const T (&values)[N]) {
    return values[rng() % N];
}

// Mostly ordinary values, one in `rare` drawn from the extremes.
template <size_t N>
double mostly(double ordinary, const double (&extremes)[N], unsigned rare = 4) {
    return rng() % rare ? ordinary : pick(extremes);
}

// The burst settings: all off in a third of the records, else each off,
// ordinary or extreme.
void set_burst(agc_t &a) {
    const double inf = INFINITY, nan = NAN;
    const double ceilings[] = {nan, -inf, -900.0, 0.0, 1e4};
    const double gates[] = {nan, inf, -300.0, 400.0};
    const double attacks[] = {nan, -inf, -20.0, 0.0};
    const bool on = rng() % 3 != 0;
    a.max_gain_db = on && rng() % 2 ? mostly(uniform(-20, 80), ceilings) : QV_AGC_MAX_GAIN_OFF;
    a.gate_db = on && rng() % 2 ? mostly(uniform(-120, 20), gates) : QV_AGC_GATE_OFF;
    a.attack_db = on && rng() % 2 ? mostly(uniform(0, 12), attacks) : QV_AGC_ATTACK_OFF;
}

// All three burst settings at ordinary values (on), or all off: a long call
// whose samples' scale jumps and falls silent (random_samples) then gates,
// attacks and rests on the ceiling.
void set_ordinary_burst(agc_t &a, bool on) {
    a.max_gain_db = on ? uniform(20, 80) : QV_AGC_MAX_GAIN_OFF;
    a.gate_db = on ? uniform(-90, -40) : QV_AGC_GATE_OFF;
    a.attack_db = on ? uniform(0, 10) : QV_AGC_ATTACK_OFF;
}

agc_t random_record() {
    const double inf = INFINITY, nan = NAN;
    const double refs[] = {0.0, -300.0, 459.0, 461.0, 800.0, 1600.0, 1e300, -inf, inf, nan};
    const double bws[] = {0.0, 0.25, 1.0, 7.0, -0.01, 1e-300, nan};
    const double alphas[] = {0.0, 1.0, 1.5, 1e-300, -0.5, nan};
    const double clips[] = {-inf, -800.0, 0.0, 400.0, 7000.0, inf, nan};
    const double gains[] = {-7000.0, -700.0, 700.0, 7000.0, inf, -inf, nan};
    const double powers[] = {0.0, 1e-300, 1e300, inf, nan};
    const double linear[] = {0.0, -1.0, 1e-30, 1e30, inf, nan};
    const uint64_t decims[] = {0, 1, 2, 3, UINT64_MAX, uint64_t(1) << 40};
    agc_t a{};
    a.ref_db = mostly(uniform(-40, 40), refs);
    a.loop_bw = mostly(uniform(0, 0.01), bws);
    a.alpha = mostly(uniform(0, 1), alphas);
    a.decim = rng() % 4 ? rng() % 71 : pick(decims);
    a.clip_db = mostly(uniform(-20, 40), clips);
    a.gain_update_period = rng();  // not read by the block path
    a.gain_db = mostly(uniform(-60, 60), gains, 8);
    a.p_avg = mostly(std::exp(uniform(-20, 20)), powers, 8);
    a.g_last = mostly(uniform(0, 4), linear, 8);
    a.hold_count = rng();
    a.clip_lin = float(uniform(0, 4));
    a.flags = uint32_t(rng());  // bit 0, the acquisition mode, on in half the records
    set_burst(a);
    if (rng() % 2) {            // a pending chunk of stream, of any length it may have
        const float sums[] = {0.0f, -0.0f, 1e-45f, 3e38f, INFINITY, NAN};
        a.pending.len = rng() % 4 ? 2 + rng() % 70 : pick(decims) | 2;
        a.pending.done = 1 + rng() % (a.pending.len - 1);
        for (float &sum : a.pending.sums) sum = rng() % 4 ? float(uniform(0, 100)) : pick(sums);
    }
    return a;
}

// Random samples of a random scale with extremes injected; one block in four
// has runs of exact zeros, which drive the gain onto its upper bound.
std::vector<qv_cf32> random_samples(size_t n) {
    const float specials[] = {0.0f, -0.0f, INFINITY, -INFINITY, NAN, -NAN, 1e-45f, -1e-40f, 3e38f, -3.4028235e38f};
    const double scale = std::pow(10.0, uniform(-4, 4));
    const unsigned rare = unsigned(rng() % 2 ? 16 : 1000);
    const bool silences = rng() % 4 == 0;
    std::vector<qv_cf32> x(n);
    bool silent = false;
    for (qv_cf32 &v : x) {
        if (silences && rng() % 64 == 0) silent = !silent;
        const float re = rng() % rare ? float(uniform(-scale, scale)) : pick(specials);
        const float im = rng() % rare ? float(uniform(-scale, scale)) : pick(specials);
        v = silent ? qv_cf32(0.0f, 0.0f) : qv_cf32(re, im);
    }
    return x;
}

// Same bits, or both NaN: which NaN payload an update passes on depends on
// operand order that the compiler is free to pick.
template <class T>
bool same(T a, T b) {
    return std::memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b);
}

bool same_sums(const float (&a)[4], const float (&b)[4]) {
    return same(a[0], b[0]) && same(a[1], b[1]) && same(a[2], b[2]) && same(a[3], b[3]);
}

bool same_record(const agc_t &a, const agc_t &b) {
    agc_t x = a, y = b;
    if (!same(x.gain_db, y.gain_db) || !same(x.p_avg, y.p_avg) || !same(x.g_last, y.g_last) ||
        !same_sums(x.pending.sums, y.pending.sums))
        return false;
    x.gain_db = y.gain_db = x.p_avg = y.p_avg = x.g_last = y.g_last = 0.0;
    std::fill(std::begin(x.pending.sums), std::end(x.pending.sums), 0.0f);
    std::fill(std::begin(y.pending.sums), std::end(y.pending.sums), 0.0f);
    return std::memcmp(&x, &y, sizeof x) == 0;
}

constexpr size_t kGuard = 4;
const qv_cf32 kGuardValue(-7.25f, 1e-39f);

// A copy of `record` after `calls` on x[skip..] into a fresh buffer of guard
// elements, at sample offset `skip` (or in place there), and that buffer.
// The calls take the pieces `cuts` gives in turn (the last takes the rest).
struct Run {
    agc_t record;
    std::vector<qv_cf32> buffer;
};

Run run(Steps calls, const agc_t &record, const std::vector<qv_cf32> &x, size_t skip, bool in_place,
        const std::vector<size_t> &cuts) {
    Run r{record, std::vector<qv_cf32>(x.size() + kGuard, kGuardValue)};
    qv_cf32 *out = r.buffer.data();
    if (in_place) std::copy(x.begin() + ptrdiff_t(skip), x.end(), r.buffer.begin() + ptrdiff_t(skip));
    const qv_cf32 *in = in_place ? out : x.data();
    size_t start = skip;
    for (size_t k = 0; k <= cuts.size(); ++k) {
        const size_t n = k < cuts.size() ? std::min(cuts[k], x.size() - start) : x.size() - start;
        calls(&r.record, in + start, out + start, n);
        start += n;
    }
    return r;
}

bool same_samples(const std::vector<qv_cf32> &a, const std::vector<qv_cf32> &b) {
    // memcmp must not see the null data() of an empty vector, even for 0 bytes
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(qv_cf32)) == 0);
}

// Calls through `field` of every supported variant, separate and in place,
// against the reference on the same record, samples and cuts.
void check_calls(Steps Variant::*field, const char *what, const agc_t &record, const std::vector<qv_cf32> &x,
                 size_t skip, const std::vector<size_t> &cuts = {}) {
    const Run want = run(reference.*field, record, x, skip, false, cuts);
    for (size_t k = 0; k < want.buffer.size(); ++k)
        if ((k < skip || k >= x.size()) && std::memcmp(&want.buffer[k], &kGuardValue, sizeof kGuardValue) != 0)
            fail("the scalar loop wrote outside out, element %zu\n", k);
    for (const auto &v : kRows) {
        if (!v.supported) continue;
        for (bool in_place : {false, true}) {
            const Run got = run(v.table->*field, record, x, skip, in_place, cuts);
            if (!same_samples(got.buffer, want.buffer))
                fail("%s %s%s: samples differ, n=%zu decim=%llu\n", v.name, what, in_place ? " in place" : "",
                     x.size() - skip, (unsigned long long)record.decim);
            if (!same_record(got.record, want.record))
                fail("%s %s%s: state differs, n=%zu decim=%llu gain_db %a/%a p_avg %a/%a g_last %a/%a\n",
                     v.name, what, in_place ? " in place" : "", x.size() - skip, (unsigned long long)record.decim,
                     got.record.gain_db, want.record.gain_db, got.record.p_avg, want.record.p_avg,
                     got.record.g_last, want.record.g_last);
        }
    }
}

void check_call(const agc_t &record, const std::vector<qv_cf32> &x, size_t skip) {
    check_calls(&Variant::steps, "steps", record, x, skip);
}

// Piece lengths around the chunk length: 0, 1, d - 1, d + 1, primes and the rest.
std::vector<size_t> random_cuts(uint64_t decim) {
    const size_t d = size_t(std::min<uint64_t>(decim ? decim : 1, 1000));
    const size_t lengths[] = {0, 1, 2, 3, 5, 7, 13, 31, d - 1, d, d + 1, 2 * d + 1};
    std::vector<size_t> cuts(rng() % 8);
    for (size_t &c : cuts) c = rng() % 4 ? pick(lengths) : rng() % 300;
    return cuts;
}

// The span kernel of every variant against the reference: every count up to
// 70 from odd and even chunk samples (far into a huge chunk too), carried sums
// with extremes, separate and in place, with guard elements on both sides.
void check_spans() {
    const float specials[] = {0.0f, -0.0f, 1e-45f, 3e38f, INFINITY, NAN};
    const uint64_t firsts[] = {0, 1, 2, 3, 4095, uint64_t(1) << 40, (uint64_t(1) << 53) - 71, (uint64_t(1) << 53) - 3,
                               (uint64_t(1) << 63) + 1};
    for (size_t count = 0; count <= 70; ++count)
        for (int trial = 0; trial < 16; ++trial) {
            const agc_t shape = random_record();
            const double g_prev = shape.g_last;
            double step = uniform(-1, 1) * std::pow(10.0, uniform(-12, 0));
            const float clip = trial % 5 ? float(uniform(0, 3)) : INFINITY;
            const uint64_t first = trial % 3 ? rng() % 5000 : pick(firsts);
            // Far into a huge chunk, a ramp that comes down to 0 within the span,
            // where every ramp index shows in the gain.
            if (first > uint64_t(1) << 52) step = -g_prev / double(first + 80);
            float start[4];
            for (float &s : start) s = rng() % 4 ? float(uniform(0, 1000)) : pick(specials);
            const std::vector<qv_cf32> x = random_samples(count);
            auto span_run = [&](const Variant &v, bool in_place, float (&sums)[4]) {
                std::vector<qv_cf32> buffer(count + 2 * kGuard, kGuardValue);
                qv_cf32 *out = buffer.data() + kGuard;
                if (in_place) std::copy(x.begin(), x.end(), out);
                std::copy(std::begin(start), std::end(start), sums);
                v.span(Span{in_place ? out : x.data(), out, count, first, g_prev, step, clip}, sums);
                return buffer;
            };
            float want_sums[4];
            const std::vector<qv_cf32> want = span_run(reference, false, want_sums);
            for (size_t k = 0; k < kGuard; ++k)
                if (std::memcmp(&want[k], &kGuardValue, sizeof kGuardValue) ||
                    std::memcmp(&want[count + kGuard + k], &kGuardValue, sizeof kGuardValue))
                    fail("the scalar span wrote outside out\n");
            for (const auto &v : kRows) {
                if (!v.supported) continue;
                for (bool in_place : {false, true}) {
                    float sums[4];
                    if (!same_samples(span_run(*v.table, in_place, sums), want) || !same_sums(sums, want_sums))
                        fail("%s span%s: count=%zu first=%llu differs\n", v.name, in_place ? " in place" : "",
                             count, (unsigned long long)first);
                }
            }
        }
}

// The settling loop of every variant against the reference, from fresh
// records as agc_settling_samples makes them, over a spread of arguments
// (some far enough out to rest on a bound) and both modes.
void check_settle() {
    const double far[] = {300.5, 1000.0, -800.0, 2000.0};
    for (int trial = 0; trial < 80; ++trial) {
        const double loop_bw = std::pow(10.0, uniform(-3.5, -1)), alpha = uniform(0.001, 1.0);
        const double err_db = mostly(uniform(-40, 40), far), tol_db = std::pow(10.0, uniform(-3, 0));
        const float amplitude = float(std::pow(10.0, -err_db / 20.0));
        const uint64_t budget = uint64_t(16.0 / loop_bw) + 1;
        agc_t *a = agc_create(0.0, loop_bw, alpha);
        a->flags = uint32_t(trial & 1) * QV_AGC_ACQUIRE;
        if (trial % 4 >= 2) set_burst(*a);
        const agc_t fresh = *a;
        agc_destroy(a);
        agc_t want_record = fresh;
        const uint64_t want = reference.settle(&want_record, amplitude, err_db, tol_db, budget);
        for (const auto &v : kRows) {
            if (!v.supported) continue;
            agc_t got_record = fresh;
            const uint64_t got = v.table->settle(&got_record, amplitude, err_db, tol_db, budget);
            if (got != want || !same_record(got_record, want_record))
                fail("%s settle loop_bw=%g alpha=%g err=%g tol=%g flags=%u: %llu, want %llu\n", v.name, loop_bw,
                     alpha, err_db, tol_db, fresh.flags, (unsigned long long)got, (unsigned long long)want);
        }
    }
}

using BankCall = void (*)(agc_t *, size_t, const qv_cf32 *, qv_cf32 *, size_t);
using RowsCall = void (*)(agc_t *, size_t, const qv_cf32 *const *, qv_cf32 *const *, size_t);

// A bank's records: random loop states and pending chunks (the same chunk
// grid in all, or each its own), the parameters of the first in every one.
std::vector<agc_t> random_bank(size_t channels) {
    std::vector<agc_t> chan(channels);
    for (agc_t &a : chan) a = random_record();
    agc_bank_t bank{channels, chan.data()};
    agc_bank_configure(&bank, &chan[0]);
    if (rng() % 2)
        for (agc_t &a : chan) a.pending.done = chan[0].pending.done, a.pending.len = chan[0].pending.len;
    return chan;
}

// channels rows of n samples; one row in four all one value from the
// extremes (NaN, infinities, zeros, subnormals, the largest).
std::vector<qv_cf32> random_rows(size_t channels, size_t n) {
    const float specials[] = {NAN, INFINITY, -INFINITY, 0.0f, -0.0f, 1e-45f, 1e-39f, 3.4028235e38f};
    std::vector<qv_cf32> x;
    for (size_t c = 0; c < channels; ++c) {
        std::vector<qv_cf32> row = random_samples(n);
        if (rng() % 4 == 0) std::fill(row.begin(), row.end(), qv_cf32(pick(specials), pick(specials)));
        x.insert(x.end(), row.begin(), row.end());
    }
    return x;
}

// channels rows of n samples, all one random row.
std::vector<qv_cf32> alike_rows(size_t channels, size_t n) {
    const std::vector<qv_cf32> row = random_samples(n);
    std::vector<qv_cf32> x;
    for (size_t c = 0; c < channels; ++c) x.insert(x.end(), row.begin(), row.end());
    return x;
}

struct BankRun {
    std::vector<agc_t> chan;
    std::vector<qv_cf32> out;
    std::vector<std::vector<float>> probes;  // each probe's records, when watched
};

// A block call of a rows call: each row of the block in a buffer of its
// own, at its own distance from a cache line, with guard elements after it
// (in place: in and out the same buffer); with `fanned`, every channel reads
// row 0's buffer (a block whose rows are all the same).
auto as_block(RowsCall rows_call, bool fanned) {
    return [=](agc_t *chan, size_t channels, const qv_cf32 *in, qv_cf32 *out, size_t n) {
        const bool in_place = in == out;
        std::vector<std::vector<qv_cf32>> ins(channels), outs(channels);
        std::vector<const qv_cf32 *> in_rows(channels);
        std::vector<qv_cf32 *> out_rows(channels);
        for (size_t c = 0; c < channels; ++c) {
            const size_t skip = (c * 3) % 8;
            outs[c].assign(skip + n + kGuard, kGuardValue);
            out_rows[c] = outs[c].data() + skip;
            if (in_place) {
                std::copy_n(in + c * n, n, out_rows[c]);
                in_rows[c] = out_rows[c];
            } else if (fanned && c) {
                in_rows[c] = in_rows[0];
            } else {
                ins[c].assign(skip + n, qv_cf32{});
                std::copy_n(in + c * n, n, ins[c].begin() + ptrdiff_t(skip));
                in_rows[c] = ins[c].data() + skip;
            }
        }
        rows_call(chan, channels, in_rows.data(), out_rows.data(), n);
        for (size_t c = 0; c < channels; ++c) {
            for (size_t g = 0; g < kGuard; ++g)
                if (std::memcmp(&out_rows[c][n + g], &kGuardValue, sizeof kGuardValue) != 0)
                    fail("a rows call wrote past out[%zu]\n", c);
            std::copy_n(out_rows[c], n, out + c * n);
        }
    };
}

// The rows through `call` in pieces of columns (`cuts`, the last taking the
// rest), each piece a block of its own with guard elements after it,
// separate or in place; every channel attached to one context when watched.
template <class Call>
BankRun run_bank(Call call, const std::vector<agc_t> &chan, const std::vector<qv_cf32> &x, size_t n,
                 bool in_place, const std::vector<size_t> &cuts, bool watched) {
    const size_t channels = chan.size();
    BankRun r{chan, std::vector<qv_cf32>(x.size()), {}};
    qv_tlm *tlm = watched ? qv_tlm_create(1 << 16) : nullptr;
    for (size_t c = 0; watched && c < channels; ++c) {
        char prefix[24];
        std::snprintf(prefix, sizeof prefix, "c%zu", c);
        if (agc_set_telemetry(&r.chan[c], tlm, prefix, 1) != 0) fail("attaching channel %zu failed\n", c);
    }
    for (size_t k = 0, start = 0; k <= cuts.size(); ++k) {
        const size_t piece = k < cuts.size() ? std::min(cuts[k], n - start) : n - start;
        std::vector<qv_cf32> in(channels * piece), out(channels * piece + kGuard, kGuardValue);
        for (size_t c = 0; c < channels; ++c)
            std::copy_n(x.begin() + ptrdiff_t(c * n + start), piece, (in_place ? out : in).begin() + ptrdiff_t(c * piece));
        call(r.chan.data(), channels, in_place ? out.data() : in.data(), out.data(), piece);
        for (size_t g = channels * piece; g < out.size(); ++g)
            if (std::memcmp(&out[g], &kGuardValue, sizeof kGuardValue) != 0) fail("a bank call wrote past out\n");
        for (size_t c = 0; c < channels; ++c)
            std::copy_n(out.begin() + ptrdiff_t(c * piece), piece, r.out.begin() + ptrdiff_t(c * n + start));
        start += piece;
    }
    if (watched) {
        std::vector<qv_tlm_rec> records(qv_tlm_avail(tlm));
        records.resize(qv_tlm_read(tlm, 0, records.data(), records.size()));
        r.probes.resize(2 * channels);
        for (const qv_tlm_rec &rec : records) r.probes[rec.probe].push_back(rec.value);
        if (qv_tlm_dropped(tlm)) fail("the bank's telemetry ring overflowed\n");
        for (agc_t &a : r.chan) agc_set_telemetry(&a, nullptr, nullptr, 0);
        qv_tlm_destroy(tlm);
    }
    return r;
}

bool same_probes(const std::vector<std::vector<float>> &a, const std::vector<std::vector<float>> &b) {
    if (a.size() != b.size()) return false;
    for (size_t p = 0; p < a.size(); ++p) {
        if (a[p].size() != b[p].size()) return false;
        for (size_t k = 0; k < a[p].size(); ++k)
            if (!same(a[p][k], b[p][k])) return false;
    }
    return true;
}

// A bank call of every supported variant, separate and in place, against
// the reference: outputs, every channel's record, and the probes.
void check_bank(BankCall Variant::*field, const char *what, const std::vector<agc_t> &chan,
                const std::vector<qv_cf32> &x, size_t n, const std::vector<size_t> &cuts = {}, bool watched = false) {
    const BankRun want = run_bank(reference.*field, chan, x, n, false, cuts, watched);
    for (const auto &v : kRows) {
        if (!v.supported) continue;
        for (bool in_place : {false, true}) {
            const BankRun got = run_bank(v.table->*field, chan, x, n, in_place, cuts, watched);
            if (!same_samples(got.out, want.out))
                fail("%s %s%s: samples differ, channels=%zu n=%zu decim=%llu\n", v.name, what,
                     in_place ? " in place" : "", chan.size(), n, (unsigned long long)chan[0].decim);
            for (size_t c = 0; c < chan.size(); ++c)
                if (!same_record(got.chan[c], want.chan[c]))
                    fail("%s %s%s: channel %zu of %zu differs, n=%zu decim=%llu\n", v.name, what,
                         in_place ? " in place" : "", c, chan.size(), n, (unsigned long long)chan[0].decim);
            if (!same_probes(got.probes, want.probes))
                fail("%s %s: telemetry differs, channels=%zu n=%zu\n", v.name, what, chan.size(), n);
        }
    }
}

// An interleaved bank call as a call over rows: the (channels, n) block's
// transpose, with guard elements after it, one sample past the start of its
// buffer (in place: in and out the same buffer).
auto as_rows(BankCall interleaved) {
    return [=](agc_t *chan, size_t channels, const qv_cf32 *in, qv_cf32 *out, size_t n) {
        const size_t size = channels * n;
        std::vector<qv_cf32> from(1 + size), to(1 + size + kGuard, kGuardValue);
        std::vector<qv_cf32> &source = in == out ? to : from;
        for (size_t c = 0; c < channels; ++c)
            for (size_t i = 0; i < n; ++i) source[1 + i * channels + c] = in[c * n + i];
        interleaved(chan, channels, source.data() + 1, to.data() + 1, n);
        for (size_t g = 1 + size; g < to.size(); ++g)
            if (std::memcmp(&to[g], &kGuardValue, sizeof kGuardValue) != 0) fail("an interleaved call wrote past out\n");
        if (std::memcmp(&to[0], &kGuardValue, sizeof kGuardValue) != 0) fail("an interleaved call wrote before out\n");
        for (size_t c = 0; c < channels; ++c)
            for (size_t i = 0; i < n; ++i) out[c * n + i] = to[1 + i * channels + c];
    };
}

// bank_steps_interleaved of every supported variant and of the reference,
// separate and in place, against the reference's bank_steps over the rows.
void check_interleaved(const std::vector<agc_t> &chan, const std::vector<qv_cf32> &x, size_t n,
                       const std::vector<size_t> &cuts = {}, bool watched = false) {
    const BankRun want = run_bank(reference.bank_steps, chan, x, n, false, cuts, watched);
    const qv::test::Row<Variant> plain{"reference", &reference};
    std::vector<qv::test::Row<Variant>> rows = kRows;
    rows.push_back(plain);
    for (const auto &v : rows) {
        if (!v.supported) continue;
        for (bool in_place : {false, true}) {
            const BankRun got = run_bank(as_rows(v.table->bank_steps_interleaved), chan, x, n, in_place, cuts, watched);
            const char *how = in_place ? " in place" : "";
            if (!same_samples(got.out, want.out))
                fail("%s bank steps interleaved%s: samples differ, channels=%zu n=%zu decim=%llu\n", v.name, how,
                     chan.size(), n, (unsigned long long)chan[0].decim);
            for (size_t c = 0; c < chan.size(); ++c)
                if (!same_record(got.chan[c], want.chan[c]))
                    fail("%s bank steps interleaved%s: channel %zu of %zu differs, n=%zu\n", v.name, how, c,
                         chan.size(), n);
            if (!same_probes(got.probes, want.probes))
                fail("%s bank steps interleaved%s: telemetry differs, channels=%zu n=%zu\n", v.name, how, chan.size(),
                     n);
        }
    }
}

// Whether every row of the block x is row 0.
bool rows_alike(const std::vector<qv_cf32> &x, size_t channels, size_t n) {
    if (n == 0) return true;  // memcmp must not see the null data() of an empty block
    for (size_t c = 1; c < channels; ++c)
        if (std::memcmp(x.data(), x.data() + c * n, n * sizeof(qv_cf32)) != 0) return false;
    return true;
}

// bank_stream_rows of every supported variant, rows of their own, separate,
// in place and (when the rows are alike) fanned out, against the
// reference's bank_stream over a block.
void check_rows(const std::vector<agc_t> &chan, const std::vector<qv_cf32> &x, size_t n,
                const std::vector<size_t> &cuts, bool watched = false) {
    const BankRun want = run_bank(reference.bank_stream, chan, x, n, false, cuts, watched);
    for (const auto &v : kRows) {
        if (!v.supported) continue;
        for (int layout = 0; layout < 3; ++layout) {
            const bool in_place = layout == 1, fanned = layout == 2;
            if (fanned && !rows_alike(x, chan.size(), n)) continue;
            const BankRun got = run_bank(as_block(v.table->bank_stream_rows, fanned), chan, x, n, in_place, cuts,
                                         watched);
            const char *how = in_place ? " in place" : fanned ? " fanned out" : "";
            if (!same_samples(got.out, want.out))
                fail("%s bank stream rows%s: samples differ, channels=%zu n=%zu decim=%llu\n", v.name, how,
                     chan.size(), n, (unsigned long long)chan[0].decim);
            for (size_t c = 0; c < chan.size(); ++c)
                if (!same_record(got.chan[c], want.chan[c]))
                    fail("%s bank stream rows%s: channel %zu of %zu differs, n=%zu\n", v.name, how, c, chan.size(), n);
            if (!same_probes(got.probes, want.probes))
                fail("%s bank stream rows%s: telemetry differs, channels=%zu n=%zu\n", v.name, how, chan.size(), n);
        }
    }
}

// Banks of every size around the vector widths (a lane or two short, one
// past, several passes), random records and rows; and long calls at the
// usual chunk lengths, watched and not.
void check_banks() {
    const size_t sizes[] = {1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 23, 24, 31, 32, 33, 40};
    for (size_t channels : sizes)
        for (int trial = 0; trial < 24; ++trial) {
            const std::vector<agc_t> chan = random_bank(channels);
            const size_t n = trial % 8 ? rng() % 40 : rng() % 400;
            const std::vector<qv_cf32> x = random_rows(channels, n);
            check_bank(&Variant::bank_steps, "bank steps", chan, x, n);
            const std::vector<size_t> cuts = random_cuts(chan[0].decim);
            check_bank(&Variant::bank_stream, "bank stream", chan, x, n, cuts);
            check_rows(chan, trial % 3 ? x : alike_rows(channels, n), n, cuts);
            check_interleaved(chan, x, n, trial % 2 ? cuts : std::vector<size_t>{});
        }
    for (uint32_t flags : {0u, uint32_t(QV_AGC_ACQUIRE)})
        for (uint64_t decim : {1, 7, 8, 64})
            for (size_t channels : {3, 8, 17, 32}) {
                std::vector<agc_t> chan = random_bank(channels);
                agc_t &p = chan[0];
                p.decim = decim, p.flags = flags;
                set_ordinary_burst(p, channels != 8);
                p.ref_db = uniform(-20, 20), p.loop_bw = 0.01 / double(decim), p.alpha = uniform(0.01, 0.5);
                agc_bank_t bank{channels, chan.data()};
                agc_bank_configure(&bank, &p);
                for (agc_t &a : chan) a.pending = agc_pending_t{};
                const size_t n = 2049;
                const std::vector<qv_cf32> x = random_rows(channels, n);
                const bool watched = channels <= QV_AGC_BANK_MAX_WATCHED && decim != 1;
                check_bank(&Variant::bank_steps, "bank steps", chan, x, n, {}, watched);
                check_bank(&Variant::bank_stream, "bank stream", chan, x, n, {1000, 3, 517}, watched);
                check_rows(chan, decim == 8 ? alike_rows(channels, n) : x, n, {1000, 3, 517}, watched);
                check_interleaved(chan, x, n, {1000, 3, 517}, watched);
            }
}

}  // namespace

int main() {
    qv::test::check_active(QV_EVERY_VARIANT, reference, active, active_isa());
    // Every length 0..300, each several times over random records, with the
    // buffers starting at eight different sample offsets.
    for (size_t n = 0; n <= 300; ++n)
        for (int trial = 0; trial < 12; ++trial) {
            const size_t skip = size_t(trial) % 8;
            check_call(random_record(), random_samples(n + skip), skip);
        }
    // Long calls at the usual chunk lengths, where the loop runs for a while
    // and its state walks far from where it started.
    for (uint32_t flags : {0u, uint32_t(QV_AGC_ACQUIRE)})
        for (uint64_t decim : {1, 2, 7, 8, 16, 64})
            for (bool burst : {false, true}) {
                agc_t a = random_record();
                a.decim = decim, a.flags = flags;
                a.ref_db = uniform(-20, 20), a.loop_bw = 0.01 / double(decim), a.alpha = uniform(0.01, 0.5);
                set_ordinary_burst(a, burst);
                check_call(a, random_samples(4097), 1);
            }
    // stream over random splits, from records with and without a pending
    // chunk; and long streams cut into calls that end inside big chunks.
    for (size_t n = 0; n <= 300; n += 1 + n / 16)
        for (int trial = 0; trial < 12; ++trial) {
            const agc_t record = random_record();
            check_calls(&Variant::stream, "stream", record, random_samples(n + 3), 3, random_cuts(record.decim));
        }
    for (uint32_t flags : {0u, uint32_t(QV_AGC_ACQUIRE)})
        for (uint64_t decim : {1, 8, 64, 4096})
            for (bool burst : {false, true}) {
                agc_t a = random_record();
                a.decim = decim, a.flags = flags, a.pending = agc_pending_t{};
                a.ref_db = uniform(-20, 20), a.loop_bw = 0.01 / double(decim), a.alpha = uniform(0.01, 0.5);
                set_ordinary_burst(a, burst);
                check_calls(&Variant::stream, "stream", a, random_samples(20001), 1, {1000, 999, 3, 4097, 1001});
            }
    check_spans();
    check_banks();
    check_settle();
    return qv::test::summary();
}

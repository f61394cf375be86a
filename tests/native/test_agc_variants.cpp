// Every instruction-set variant of the AGC block path and of the settling
// loop against the scalar reference, bit for bit: outputs, loop state, and
// the guard elements after the output.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "agc/agc_variants.h"
#include "variants.h"

using namespace qv::agc;
using qv::test::fail;

namespace {

using Steps = void (*)(agc_t *, const qv_cf32 *, qv_cf32 *, size_t);

// The exported block path (the settling loop has no entry of its own).
const Variant kExported = {agc_steps, reference.settle};
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

agc_t random_record() {
    const double inf = INFINITY, nan = NAN;
    const double refs[] = {0.0, -300.0, 800.0, 1e300, -inf, nan};
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
    a.reserved = uint32_t(rng());
    return a;
}

// Random samples of a random scale with extremes injected.
std::vector<qv_cf32> random_samples(size_t n) {
    const float specials[] = {0.0f, -0.0f, INFINITY, -INFINITY, NAN, -NAN, 1e-45f, -1e-40f, 3e38f, -3.4028235e38f};
    const double scale = std::pow(10.0, uniform(-4, 4));
    const unsigned rare = unsigned(rng() % 2 ? 16 : 1000);
    std::vector<qv_cf32> x(n);
    for (qv_cf32 &v : x) {
        const float re = rng() % rare ? float(uniform(-scale, scale)) : pick(specials);
        const float im = rng() % rare ? float(uniform(-scale, scale)) : pick(specials);
        v = {re, im};
    }
    return x;
}

uint64_t bits(double d) { return std::bit_cast<uint64_t>(d); }

// Same bits, or both NaN: which NaN payload an update passes on depends on
// operand order that the compiler is free to pick.
bool same(double a, double b) { return bits(a) == bits(b) || (a != a && b != b); }

bool same_record(const agc_t &a, const agc_t &b) {
    agc_t x = a, y = b;
    if (!same(x.gain_db, y.gain_db) || !same(x.p_avg, y.p_avg) || !same(x.g_last, y.g_last)) return false;
    x.gain_db = y.gain_db = x.p_avg = y.p_avg = x.g_last = y.g_last = 0.0;
    return std::memcmp(&x, &y, sizeof x) == 0;
}

constexpr size_t kGuard = 4;
const qv_cf32 kGuardValue(-7.25f, 1e-39f);

// A copy of `record` after steps on x[skip..] into a fresh buffer of guard
// elements, at sample offset `skip` (or in place there), and that buffer.
struct Run {
    agc_t record;
    std::vector<qv_cf32> buffer;
};

Run run(Steps steps, const agc_t &record, const std::vector<qv_cf32> &x, size_t skip, bool in_place) {
    Run r{record, std::vector<qv_cf32>(x.size() + kGuard, kGuardValue)};
    const size_t n = x.size() - skip;
    if (in_place) {
        std::copy(x.begin() + ptrdiff_t(skip), x.end(), r.buffer.begin() + ptrdiff_t(skip));
        steps(&r.record, r.buffer.data() + skip, r.buffer.data() + skip, n);
    } else {
        steps(&r.record, x.data() + skip, r.buffer.data() + skip, n);
    }
    return r;
}

bool same_samples(const std::vector<qv_cf32> &a, const std::vector<qv_cf32> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(qv_cf32)) == 0;
}

// One call of every supported variant, separate and in place, against the
// reference on the same record and samples.
void check_call(const agc_t &record, const std::vector<qv_cf32> &x, size_t skip) {
    const Run want = run(reference.steps, record, x, skip, false);
    for (size_t k = 0; k < want.buffer.size(); ++k)
        if ((k < skip || k >= x.size()) && std::memcmp(&want.buffer[k], &kGuardValue, sizeof kGuardValue) != 0)
            fail("the scalar loop wrote outside out, element %zu\n", k);
    for (const auto &v : kRows) {
        if (!v.supported) continue;
        for (bool in_place : {false, true}) {
            const Run got = run(v.table->steps, record, x, skip, in_place);
            if (!same_samples(got.buffer, want.buffer))
                fail("%s steps%s: samples differ, n=%zu decim=%llu\n", v.name, in_place ? " in place" : "",
                     x.size() - skip, (unsigned long long)record.decim);
            if (!same_record(got.record, want.record))
                fail("%s steps%s: state differs, n=%zu decim=%llu gain_db %a/%a p_avg %a/%a g_last %a/%a\n",
                     v.name, in_place ? " in place" : "", x.size() - skip, (unsigned long long)record.decim,
                     got.record.gain_db, want.record.gain_db, got.record.p_avg, want.record.p_avg,
                     got.record.g_last, want.record.g_last);
        }
    }
}

// The settling loop of every variant against the reference, from fresh
// records as agc_settling_samples makes them, over a spread of arguments.
void check_settle() {
    for (int trial = 0; trial < 40; ++trial) {
        const double loop_bw = std::pow(10.0, uniform(-3.5, -1)), alpha = uniform(0.001, 1.0);
        const double err_db = uniform(-40, 40), tol_db = std::pow(10.0, uniform(-3, 0));
        const float amplitude = float(std::pow(10.0, -err_db / 20.0));
        const uint64_t budget = uint64_t(16.0 / loop_bw) + 1;
        agc_t *a = agc_create(0.0, loop_bw, alpha);
        const agc_t fresh = *a;
        agc_destroy(a);
        agc_t want_record = fresh;
        const uint64_t want = reference.settle(&want_record, amplitude, err_db, tol_db, budget);
        for (const auto &v : kRows) {
            if (!v.supported) continue;
            agc_t got_record = fresh;
            const uint64_t got = v.table->settle(&got_record, amplitude, err_db, tol_db, budget);
            if (got != want || !same_record(got_record, want_record))
                fail("%s settle loop_bw=%g alpha=%g err=%g tol=%g: %llu, want %llu\n", v.name, loop_bw, alpha,
                     err_db, tol_db, (unsigned long long)got, (unsigned long long)want);
        }
    }
}

}  // namespace

int main() {
    qv::test::check_active(QV_EVERY_VARIANT, reference, active);
    // Every length 0..300, each several times over random records, with the
    // buffers starting at eight different sample offsets.
    for (size_t n = 0; n <= 300; ++n)
        for (int trial = 0; trial < 12; ++trial) {
            const size_t skip = size_t(trial) % 8;
            check_call(random_record(), random_samples(n + skip), skip);
        }
    // Long calls at the usual chunk lengths, where the loop runs for a while
    // and its state walks far from where it started.
    for (uint64_t decim : {1, 2, 7, 8, 16, 64}) {
        agc_t a = random_record();
        a.decim = decim;
        a.ref_db = uniform(-20, 20), a.loop_bw = 0.01 / double(decim), a.alpha = uniform(0.01, 0.5);
        check_call(a, random_samples(4097), 1);
    }
    check_settle();
    return qv::test::summary();
}

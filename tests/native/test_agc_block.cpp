// Every instruction-set variant of the AGC block path against the scalar
// chunk loop of the same set (and of the baseline), bit for bit: outputs,
// loop state, and the guard elements after the output.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "agc/agc_dispatch.h"

using namespace qv::agc;

namespace {

using Steps = void (*)(agc_t *, const qv_cf32 *, qv_cf32 *, size_t);

struct Variant {
    const char *name;
    Steps steps, steps_scalar;
    bool supported;
};

const Variant kVariants[] = {
    {"sse2", sse2::loops.steps, sse2::loops.steps_scalar, true},
    {"avx2", avx2::loops.steps, avx2::loops.steps_scalar, qv::detected_isa() >= qv::Isa::avx2},
    {"avx512", avx512::loops.steps, avx512::loops.steps_scalar, qv::detected_isa() >= qv::Isa::avx512},
};

int failures = 0;

template <class... A>
void fail(const char *fmt, A... args) {
    if (++failures <= 20) std::printf(fmt, args...);
}

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
// baseline's scalar loop on the same record and samples.
void check_call(const agc_t &record, const std::vector<qv_cf32> &x, size_t skip) {
    const Run want = run(sse2::loops.steps_scalar, record, x, skip, false);
    for (size_t k = 0; k < want.buffer.size(); ++k)
        if ((k < skip || k >= x.size()) && std::memcmp(&want.buffer[k], &kGuardValue, sizeof kGuardValue) != 0)
            fail("the scalar loop wrote outside out, element %zu\n", k);
    for (const Variant &v : kVariants) {
        if (!v.supported) continue;
        const Run scalar = run(v.steps_scalar, record, x, skip, false);
        if (!same_samples(scalar.buffer, want.buffer) || !same_record(scalar.record, want.record))
            fail("%s steps_scalar differs from the baseline: n=%zu decim=%llu\n", v.name, x.size() - skip,
                 (unsigned long long)record.decim);
        for (bool in_place : {false, true}) {
            const Run got = run(v.steps, record, x, skip, in_place);
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

}  // namespace

int main() {
    for (const Variant &v : kVariants)
        if (!v.supported) std::printf("%s: not supported by this CPU, skipped\n", v.name);
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
    std::printf("%d failures\n", failures);
    return failures != 0;
}

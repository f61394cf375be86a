// Each instruction-set variant of the hot loops against its core's scalar
// reference on this machine: ns per sample (median of interleaved rounds)
// and the reference's time over the variant's. Built with the native tests
// (QUORVEL_NATIVE_TESTS) for a target the Python benchmarks do not reach,
// such as a board of another architecture. Under emulation (qemu-user) the
// times say nothing of real hardware: qemu turns many vector instructions
// into calls of its own, and plain code into host instructions.
//
// Output: one line per loop, "<core> <loop> reference <ns> <set> <ns> <ratio> ...".
#include <algorithm>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>
#include <vector>

#include "agc/agc_bank.h"
#include "agc/agc_variants.h"
#include "arith/arith_variants.h"
#include "interp/interp_variants.h"

namespace {

constexpr size_t kSamples = 1 << 14;  // in the first-level cache or near it
constexpr int kRounds = 15;

double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// One loop's time on the reference and each set: `run(table)` processes
// kSamples samples once; every round times each table once, in turn.
template <class V>
void report(const char *core, const char *loop, const V &reference, const qv::PerIsa<V> &sets,
            const std::function<void(const V &)> &run) {
    const size_t count = 1 + sets.size();
    auto table = [&](size_t k) -> const V & { return k == 0 ? reference : *sets[k - 1]; };
    const size_t cpu = qv::kIsaCount ? size_t(qv::detected_isa()) : 0;
    std::vector<std::vector<double>> ns(count);
    for (int round = 0; round < kRounds; ++round)
        for (size_t k = 0; k < count; ++k) {
            if (k > 0 && k - 1 > cpu) continue;  // this CPU lacks the set
            const double start = thread_seconds();
            run(table(k));
            ns[k].push_back((thread_seconds() - start) * 1e9 / double(kSamples));
        }
    double median[16] = {};
    std::printf("%-6s %-16s", core, loop);
    for (size_t k = 0; k < count; ++k) {
        if (ns[k].empty()) continue;
        std::nth_element(ns[k].begin(), ns[k].begin() + ns[k].size() / 2, ns[k].end());
        median[k] = ns[k][ns[k].size() / 2];
        if (k == 0) std::printf(" reference %8.2f", median[0]);
        else std::printf("  %s %8.2f %5.2fx", qv::kIsaNames[k - 1], median[k], median[0] / median[k]);
    }
    std::printf("\n");
}

std::mt19937_64 rng(20261210);

template <class T>
std::vector<T> integers() {
    std::vector<T> v(kSamples);
    for (T &x : v) x = T(rng());
    return v;
}

std::vector<qv_cf32> complex_noise(size_t n) {
    std::normal_distribution<float> normal;
    std::vector<qv_cf32> v(n);
    for (qv_cf32 &x : v) x = {normal(rng), normal(rng)};
    return v;
}

void arith() {
    using namespace qv::arith;
    const auto a16 = integers<int16_t>(), b16 = integers<int16_t>();
    const auto a8 = integers<int8_t>(), b8 = integers<int8_t>();
    const auto a64 = integers<int64_t>();
    std::vector<int16_t> o16(kSamples);
    std::vector<int8_t> o8(kSamples);
    std::vector<int64_t> o64(kSamples);
    volatile int64_t sink = 0;
    const qv::PerIsa<Variant> &sets = QV_EVERY_VARIANT;
    report<Variant>("arith", "add_q15", reference, sets,
                    [&](const Variant &v) { v.add_q15(a16.data(), kSamples, b16.data(), kSamples, o16.data()); });
    report<Variant>("arith", "mul_q15", reference, sets,
                    [&](const Variant &v) { v.mul_q15(a16.data(), kSamples, b16.data(), kSamples, o16.data()); });
    report<Variant>("arith", "dot_q15", reference, sets,
                    [&](const Variant &v) { sink = v.dot_q15(a16.data(), kSamples, b16.data(), kSamples); });
    report<Variant>("arith", "shl_q15", reference, sets,
                    [&](const Variant &v) { v.shl_q15(a16.data(), kSamples, o16.data(), 3); });
    report<Variant>("arith", "mul_q8", reference, sets,
                    [&](const Variant &v) { v.mul_q8(a8.data(), kSamples, b8.data(), kSamples, o8.data()); });
    report<Variant>("arith", "dot_q8", reference, sets,
                    [&](const Variant &v) { sink = v.dot_q8(a8.data(), kSamples, b8.data(), kSamples); });
    report<Variant>("arith", "shr_i64", reference, sets,
                    [&](const Variant &v) { v.shr_i64(a64.data(), kSamples, o64.data(), 5); });
}

void interp() {
    using namespace qv::interp;
    std::vector<qv_cf64> values(1000);
    std::normal_distribution<double> normal;
    for (qv_cf64 &z : values) z = {normal(rng), normal(rng)};
    std::vector<double> x(kSamples);
    for (double &p : x) p = std::uniform_real_distribution<double>(-1e6, 1e6)(rng);
    std::vector<qv_cf64> out(kSamples);
    for (int method : {QV_INTERP_LINEAR, QV_INTERP_NEAREST}) {
        interp_table_t *t = interp_table_create(values.data(), values.size(), method);
        report<Variant>("interp", method == QV_INTERP_LINEAR ? "linear" : "nearest", reference, QV_EVERY_VARIANT,
                        [&](const Variant &v) { v.execute(t, x.data(), kSamples, out.data()); });
        interp_table_destroy(t);
    }
}

void agc() {
    using namespace qv::agc;
    constexpr size_t kChannels = 8;
    const std::vector<qv_cf32> x = complex_noise(kSamples);
    std::vector<qv_cf32> out(kSamples);
    for (uint64_t decim : {1, 8, 64}) {
        agc_t *a = agc_create(0.0, 0.01, 0.1);
        a->decim = decim;
        char name[32];
        std::snprintf(name, sizeof name, "steps decim %llu", (unsigned long long)decim);
        report<Variant>("agc", name, reference, QV_EVERY_VARIANT,
                        [&](const Variant &v) { v.steps(a, x.data(), out.data(), kSamples); });
        agc_destroy(a);
    }
    agc_bank_t *bank = agc_bank_create(kChannels, 0.0, 0.01, 0.1);
    const std::vector<qv_cf32> rows = complex_noise(kSamples);
    std::vector<qv_cf32> rows_out(kSamples);
    report<Variant>("agc", "bank 8 x decim 8", reference, QV_EVERY_VARIANT, [&](const Variant &v) {
        v.bank_steps(bank->chan, kChannels, rows.data(), rows_out.data(), kSamples / kChannels);
    });
    agc_bank_destroy(bank);
}

}  // namespace

int main() {
    std::printf("ns per sample, median of %d interleaved rounds of %zu samples\n", kRounds, kSamples);
    arith();
    interp();
    agc();
    return 0;
}

// The exact remainder and every instruction-set variant of the evaluation
// loop against the plain formula (floor, fmod, sign fix), bit for bit.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "common/stream_stores.h"
#include "interp/interp_scalar.h"
#include "interp/interp_variants.h"
#include "variants.h"

using namespace qv::interp;
using qv::test::fail;

namespace {

const std::vector<qv::test::Row<Variant>> kRows = qv::test::rows(QV_EVERY_VARIANT);

uint64_t bits(double d) {
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// Same bits, or both NaN (which NaN an fma returns when two operands are NaN
// depends on the instruction form the compiler picked).
bool same(double a, double b) { return bits(a) == bits(b) || (a != a && b != b); }

std::mt19937_64 rng(20261208);

double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }

// Points that stress the remainder for table length n: signed zeros, the
// limits of exact integers and of the fast path, non-finite values, values
// at and beside multiples of n at every scale, and random values of every
// magnitude up to 2^80.
std::vector<double> hard_points(size_t n) {
    const double dn = double(n), inf = INFINITY;
    std::vector<double> x = {0.0, -0.0, 0.5, -0.5, 1e-310, -1e-310, inf, -inf, NAN, -NAN, 1e300, -1e300};
    for (double e : {0x1p52, 0x1p53, 0x1p62, 0x1p63, 0x1p64})
        for (double s : {1.0, -1.0})
            for (double d : {-2.0, -1.0, -0.5, 0.0, 0.5, 1.0, 2.0}) {
                x.push_back(s * e + d);
                x.push_back(std::nextafter(s * e, 0.0) + d);
                x.push_back(std::nextafter(s * e, s * inf) + d);
            }
    for (double q = 1; q < 0x1p64; q *= uniform(1.5, 3.0))
        for (double s : {1.0, -1.0})
            for (double d : {-1.0, -1e-9, 0.0, 1e-9, 0.5, 1.0}) {
                const double m = std::floor(q) * dn;
                x.push_back(s * m + d);
                x.push_back(std::nextafter(s * m, 0.0));
            }
    for (int k = 0; k < 4000; ++k) {
        const double v = std::ldexp(uniform(1.0, 2.0), int(rng() % 82) - 2);
        x.push_back(rng() & 1 ? std::floor(v) : -v);
    }
    return x;
}

// locate() of every variant against the reference; where f is an exact
// integer below 2^63 and n below 2^53, the reference against integer modulo.
void check_locate(size_t n) {
    const std::vector<double> x = hard_points(n);
    std::vector<size_t> want(x.size()), want_next(x.size()), index(x.size()), next(x.size());
    std::vector<double> want_frac(x.size()), frac(x.size());
    reference.locate(x.data(), x.size(), n, want.data(), want_next.data(), want_frac.data());
    for (size_t k = 0; k < x.size(); ++k) {
        const double f = std::floor(x[k]);
        if (std::fabs(f) < 0x1p63 && n < (size_t(1) << 53)) {
            const int64_t mod = int64_t(f) % int64_t(n);
            if (size_t(mod < 0 ? mod + int64_t(n) : mod) != want[k]) fail("plain index of %a mod %zu\n", f, n);
        }
    }
    for (const auto &v : kRows) {
        if (!v.supported) continue;
        v.table->locate(x.data(), x.size(), n, index.data(), next.data(), frac.data());
        for (size_t k = 0; k < x.size(); ++k)
            if (index[k] != want[k] || next[k] != want_next[k] || !same(frac[k], want_frac[k]))
                fail("%s locate n=%zu x=%a: index %zu next %zu want %zu, frac %a\n", v.name, n, x[k], index[k],
                     next[k], want[k], frac[k]);
    }
}

// A table with extremes injected among random values.
std::vector<qv_cf64> make_table(size_t n) {
    const double special[] = {0.0, -0.0, INFINITY, -INFINITY, NAN, 1e308, -1e308, 5e-324};
    std::vector<qv_cf64> table(n);
    for (qv_cf64 &c : table) {
        const double re = rng() % 16 == 0 ? special[rng() % 8] : uniform(-4, 4);
        const double im = rng() % 16 == 0 ? special[rng() % 8] : uniform(-4, 4);
        c = {re, im};
    }
    return table;
}

// Points over +-3 periods, with every 8th point drawn from hard.
std::vector<double> make_points(const std::vector<double> &hard, size_t n, size_t count) {
    std::vector<double> x(count);
    for (double &p : x) p = rng() % 8 == 0 ? hard[rng() % hard.size()] : uniform(-3.0 * double(n), 3.0 * double(n));
    return x;
}

bool same_values(const std::vector<qv_cf64> &a, const std::vector<qv_cf64> &b) {
    for (size_t k = 0; k < a.size(); ++k)
        if (!same(a[k].real(), b[k].real()) || !same(a[k].imag(), b[k].imag())) return false;
    return true;
}

// Each variant's execute against the plain loop: all methods, 0..300 points,
// with guard elements after the output left untouched.
void check_execute(size_t n) {
    std::vector<qv_cf64> table = make_table(n);
    const std::vector<double> hard = hard_points(n);
    for (int method = 0; method < 3; ++method) {
        const interp_table_t t = {table.data(), n, method};
        for (size_t count = 0; count <= 300; ++count) {
            const std::vector<double> x = make_points(hard, n, count);
            std::vector<qv_cf64> want(count + 4, qv_cf64(-7.0, 7.0));
            reference.execute(&t, x.data(), count, want.data());
            for (const auto &v : kRows) {
                if (!v.supported) continue;
                std::vector<qv_cf64> got(count + 4, qv_cf64(-7.0, 7.0));
                v.table->execute(&t, x.data(), count, got.data());
                if (!same_values(got, want)) fail("%s execute n=%zu method=%d count=%zu\n", v.name, n, method, count);
            }
        }
    }
}

// Outputs long enough to be streamed, 16-byte aligned and not.
void check_streamed() {
    const size_t n = 1031, count = qv::kStreamBytes / sizeof(qv_cf64) + 5;
    std::vector<qv_cf64> table = make_table(n);
    const std::vector<double> x = make_points(hard_points(n), n, count);
    std::vector<double> want(2 * count + 1), got(2 * count + 1);
    for (int method = 0; method < 3; ++method) {
        const interp_table_t t = {table.data(), n, method};
        for (size_t shift : {0, 1}) {
            auto *out = reinterpret_cast<qv_cf64 *>(got.data() + shift);
            reference.execute(&t, x.data(), count, reinterpret_cast<qv_cf64 *>(want.data() + shift));
            for (const auto &v : kRows) {
                if (!v.supported) continue;
                std::fill(got.begin(), got.end(), -7.0);
                v.table->execute(&t, x.data(), count, out);
                for (size_t k = shift; k < shift + 2 * count; ++k)
                    if (!same(got[k], want[k])) {
                        fail("%s streamed method=%d shift=%zu: element %zu\n", v.name, method, shift, k);
                        break;
                    }
            }
        }
    }
}

// interp_table_execute: min(n_in, n_out) points through the chosen variant,
// and, when the points share memory with out, the plain loop's result.
void check_entry() {
    const size_t n = 7;
    std::vector<qv_cf64> table = make_table(n);
    interp_table_t *t = interp_table_create(table.data(), n, QV_INTERP_LINEAR);
    const std::vector<double> x = make_points(hard_points(n), n, 300);
    for (size_t n_out : {size_t(0), size_t(1), size_t(150), size_t(300), size_t(310)}) {
        std::vector<qv_cf64> got(310, qv_cf64(-7.0, 7.0)), want = got;
        const size_t produced = interp_table_execute(t, x.data(), 300, got.data(), n_out);
        execute_plain(t, x.data(), produced, want.data());
        if (produced != (n_out < 300 ? n_out : 300) || !same_values(got, want)) fail("execute n_out=%zu\n", n_out);
    }
    // Points at double offsets -40..40 from out's start, 64 points into 64 outputs.
    for (ptrdiff_t shift = -40; shift <= 40; ++shift) {
        std::vector<double> got(256), want;
        for (size_t k = 0; k < got.size(); ++k) got[k] = uniform(-20, 20);
        want = got;
        qv_cf64 *out = reinterpret_cast<qv_cf64 *>(got.data() + 80);
        interp_table_execute(t, got.data() + 80 + shift, 64, out, 64);
        execute_plain(t, want.data() + 80 + shift, 64, reinterpret_cast<qv_cf64 *>(want.data() + 80));
        for (size_t k = 0; k < got.size(); ++k)
            if (!same(got[k], want[k])) {
                fail("overlapping points at offset %td: element %zu\n", shift, k);
                break;
            }
    }
    interp_table_destroy(t);
}

}  // namespace

int main() {
    qv::test::check_active(QV_EVERY_VARIANT, reference, active, active_isa());
    const size_t lengths[] = {1, 2, 3, 4, 5, 7, 10, 13, 64, 97, 1000, 1021, 1024, 1025, 65537, 1000003,
                              (size_t(1) << 31) - 1, size_t(1) << 31, (size_t(1) << 32) + 15, (size_t(1) << 40) - 87,
                              (size_t(1) << 47) + 1, size_t(1) << 48, (size_t(1) << 48) + 1, size_t(1) << 53};
    for (size_t n : lengths) check_locate(n);
    for (int k = 0; k < 200; ++k) check_locate(1 + rng() % (rng() % 2 ? 5000 : size_t(1) << (rng() % 50)));
    for (size_t n : {1, 2, 3, 5, 8, 1024, 1031}) check_execute(n);
    check_streamed();
    check_entry();
    return qv::test::summary();
}

// Every instruction-set variant of the fourteen arithmetic kernels, and the
// exported (dispatched) functions, against the plain loops, bit for bit:
// separate, in-place and overlapping buffers placed in one arena, whose
// every element (guards included) must end as the plain loop leaves it.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "arith/arith_kernels.h"
#include "arith/arith_variants.h"
#include "variants.h"

using namespace qv::arith;
using qv::test::fail;

namespace {

#define EXPORTED_(name, ...) .name = ::name,
const Variant kExported = {QV_ARITH_KERNELS(EXPORTED_)};
#undef EXPORTED_

const std::vector<qv::test::Row<Variant>> kRows = qv::test::rows(QV_EVERY_VARIANT, {{"exported", &kExported}});

constexpr size_t kGuard = 16;     // elements around every buffer
// A run long enough for the kernels' streaming stores (outputs of 8 MiB on).
template <class T>
constexpr size_t kLongRun = (size_t(8) << 20) / sizeof(T) + 37;
constexpr ptrdiff_t kReach = 72;  // overlap offsets, past twice the widest block (32 int8)
// Lengths for the overlap sweeps: short ones and both sides of block multiples.
const size_t kOverlapLengths[] = {0,  1,  2,  3,  4,  5,  7,  8,   9,   15,  16,  17,  31,  32,  33, 63,
                                  64, 65, 66, 95, 97, 127, 128, 129, 130, 191, 255, 256, 257, 300};

template <class... A>
std::string format(const char *fmt, A... args) {
    char text[200];
    std::snprintf(text, sizeof text, fmt, args...);
    return text;
}

std::mt19937_64 rng(20261209);

// Random values of every magnitude, one in four of them min, max, -1, 0 or 1.
template <class T>
std::vector<T> make_data(size_t n) {
    const T special[] = {std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), T(-1), T(0), T(1)};
    std::vector<T> v(n);
    for (T &x : v) x = rng() % 4 == 0 ? special[rng() % 5] : T(int64_t(rng()) >> (rng() % 64));
    return v;
}

// `call` on a copy of the arena through the plain loops and through each
// variant: the arenas must end identical.
template <class T, class Call, class Describe>
void check_arena(const std::vector<T> &arena, Call call, Describe describe) {
    std::vector<T> want = arena;
    call(reference, want.data());
    for (const auto &v : kRows) {
        if (!v.supported) continue;
        std::vector<T> got = arena;
        call(*v.table, got.data());
        const size_t k = size_t(std::mismatch(got.begin(), got.end(), want.begin()).first - got.begin());
        if (k != got.size())
            fail("%s %s: arena[%zu] = %lld, want %lld\n", v.name, describe().c_str(), k, (long long)got[k],
                 (long long)want[k]);
    }
}

template <class T>
void check_binary(const char *name, QV_ARITH_SIGNATURE_binary((*Variant::*fn), T), bool long_runs = false) {
    const auto run = [&](size_t a, size_t na, size_t b, size_t nb, size_t out) {
        const size_t end = std::max({a + na, b + nb, out + std::min(na, nb)}) + kGuard;
        check_arena(make_data<T>(end), [&](const Variant &k, T *p) { (k.*fn)(p + a, na, p + b, nb, p + out); },
                    [&] { return format("%s na=%zu nb=%zu a@%zu b@%zu out@%zu", name, na, nb, a, b, out); });
    };
    // Nothing to do: null pointers are never touched.
    check_arena(make_data<T>(kGuard), [&](const Variant &k, T *p) {
        (k.*fn)(p, kGuard, nullptr, 0, nullptr);
        (k.*fn)(nullptr, 0, p, kGuard, nullptr);
    }, [&] { return format("%s with an empty input", name); });
    for (size_t len = 0; len <= 300; ++len) {
        const size_t more = len + 1 + rng() % 40;
        for (auto [na, nb] : {std::pair(len, len), std::pair(len, more), std::pair(more, len)}) {
            const size_t a = kGuard + rng() % 8, b = a + na + kGuard + rng() % 8;
            run(a, na, b, nb, b + nb + kGuard + rng() % 8);
        }
        const size_t a = kGuard + rng() % 8, b = a + len + kGuard + rng() % 8;
        run(a, len, b, len, a);
        run(a, len, b, len, b);
        run(a, len, a, len, a);
    }
    for (size_t len : kOverlapLengths) {
        const size_t base = kGuard + kReach, far = base + len + kReach + kGuard;
        for (ptrdiff_t k = -kReach; k <= kReach; ++k) {
            run(base, len, far, len, base + k);
            run(far, len, base, len, base + k);
        }
        for (int trial = 0; trial < 100; ++trial)  // all three within two blocks
            run(kGuard + rng() % 128, len, kGuard + rng() % 128, len, kGuard + rng() % 128);
    }
    if (!long_runs) return;
    const size_t len = kLongRun<T>, a = kGuard + 3, b = a + len + kGuard;
    run(a, len, b, len, b + len + kGuard);  // apart
    run(a, len, b, len, a);                 // in place
    run(a, len, b, len, a + kReach);        // ahead of a by more than a block
}

template <class T>
std::vector<int> shift_counts() {
    std::vector<int> counts = {INT_MIN, -1000, 1000, INT_MAX};
    for (int n = -3; n <= int(8 * sizeof(T)) + 3; ++n) counts.push_back(n);
    return counts;
}

template <class T>
void check_shift(const char *name, QV_ARITH_SIGNATURE_shift((*Variant::*fn), T), bool long_runs = false) {
    const auto run = [&](size_t a, size_t len, size_t out, int n) {
        const size_t end = std::max(a, out) + len + kGuard;
        check_arena(make_data<T>(end), [&](const Variant &k, T *p) { (k.*fn)(p + a, len, p + out, n); },
                    [&] { return format("%s len=%zu n=%d a@%zu out@%zu", name, len, n, a, out); });
    };
    const std::vector<int> counts = shift_counts<T>();
    for (int n : counts)
        for (const auto &v : kRows)
            if (v.supported) (v.table->*fn)(nullptr, 0, nullptr, n);  // must not touch memory
    for (size_t len = 0; len <= 300; ++len)
        for (int n : counts) {
            const size_t a = kGuard + rng() % 8;
            run(a, len, a + len + kGuard + rng() % 8, n);
            run(a, len, a, n);
        }
    for (size_t len : kOverlapLengths)
        for (ptrdiff_t k = -kReach; k <= kReach; ++k)
            run(kGuard + kReach, len, kGuard + kReach + k, counts[rng() % counts.size()]);
    if (!long_runs) return;
    const size_t len = kLongRun<T>, a = kGuard + 3;
    run(a, len, a + len + kGuard, 3);
    run(a, len, a, 3);
    run(a, len, a + kReach, 3);
}

template <class T, class Acc = DotSum<T>>
void check_dot(const char *name, Acc (*Variant::*fn)(const T *, size_t, const T *, size_t), bool = false) {
    const auto run = [&](const std::vector<T> &a, size_t na, const std::vector<T> &b, size_t nb) {
        const Acc want = (reference.*fn)(a.data(), na, b.data(), nb);
        for (const auto &v : kRows) {
            if (!v.supported) continue;
            const Acc got = (v.table->*fn)(a.data(), na, b.data(), nb);
            if (got != want) fail("%s %s na=%zu nb=%zu: %lld, want %lld\n", v.name, name, na, nb, (long long)got,
                                  (long long)want);
        }
    };
    run({}, 0, {}, 0);
    for (size_t len = 0; len <= 300; ++len) {
        const size_t more = len + 1 + rng() % 40;
        const std::vector<T> a = make_data<T>(more), b = make_data<T>(more);
        run(a, len, b, len);
        run(a, len, b, more);
        run(a, more, b, len);
        run(a, len, a, len);
    }
    // Long runs of the extreme products: every pmaddwd pair at its wrap, sums
    // past 2^32 and (for Q8) past the 32-bit range.
    const T lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
    const size_t long_len = (size_t(1) << 17) + 37;
    for (auto [x, y] : {std::pair(lo, lo), std::pair(lo, hi), std::pair(hi, hi)}) {
        const std::vector<T> a(long_len, x), b(long_len, y);
        run(a, long_len, b, long_len);
    }
    const std::vector<T> a = make_data<T>(long_len), b = make_data<T>(long_len);
    run(a, long_len, b, long_len);
}

// Kernels also checked on outputs long enough to be streamed: one of each
// kind and element type (the dot products always run long inputs).
bool long_runs(std::string_view name) {
    for (std::string_view k : {"mul_q15", "shr_q15", "add_q8", "shl_q8", "shr_i64"})
        if (name == k) return true;
    return false;
}

}  // namespace

int main() {
    qv::test::check_active(QV_EVERY_VARIANT, reference, active, active_isa());
#define CHECK_(name, kind, T, operation) check_##kind<T>(#name, &Variant::name, long_runs(#name));
    QV_ARITH_KERNELS(CHECK_)
#undef CHECK_
    return qv::test::summary();
}

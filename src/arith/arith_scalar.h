// The element rules of the fixed-point kernels and their plain forward loops:
// the reference every vectorised loop is checked against, bit for bit. The
// variants use the element rules for their scalar heads and tails.
// Internal linkage throughout: this header is also compiled per instruction set.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "arith/arith_variants.h"

namespace qv::arith {
namespace {

// Q15 on int16, Q8 on int8: `kFrac` fraction bits; intermediates in 32 bits.
template <class T>
struct Fixed {
    static constexpr int kBits = 8 * sizeof(T);
    static constexpr int kFrac = kBits - 1;
    static constexpr int32_t kMin = std::numeric_limits<T>::min();
    static constexpr int32_t kMax = std::numeric_limits<T>::max();

    static T sat(int32_t v) { return T(std::clamp(v, kMin, kMax)); }
    static T add(T x, T y) { return sat(int32_t(x) + y); }
    static T sub(T x, T y) { return sat(int32_t(x) - y); }
    // Round half up; only min*min can exceed the range, so only the top clamps.
    static T mul(T x, T y) { return T(std::min((int32_t(x) * y + (1 << (kFrac - 1))) >> kFrac, kMax)); }
    static T shl(T x, int n) {
        if (n <= 0) return x;
        if (n < kBits) return sat(int32_t(x) * (int32_t(1) << n));
        return x > 0 ? T(kMax) : x < 0 ? T(kMin) : T(0);
    }
    static T shr(T x, int n) {
        if (n <= 0) return x;
        if (n < kBits) return T((int32_t(x) + (int32_t(1) << (n - 1))) >> n);
        return T(x >> std::min(n, 2 * kBits - 1));  // floor: 0 or -1
    }
};

// int64 shifts. Left: bits shifted out are lost (the pattern wraps), 63 and
// above clear. Right, 1..62: floor(x / 2^n) plus the bit below the cut, which is
// the correctly rounded (half up) quotient for every x, also where x + 2^(n-1)
// would leave the int64 range; 63 and above floor to 0 or -1.
struct Wide {
    static int64_t shl(int64_t x, int n) {
        if (n <= 0) return x;
        if (n >= 63) return 0;
        return int64_t(uint64_t(x) << n);
    }
    static int64_t shr(int64_t x, int n) {
        if (n <= 0) return x;
        if (n >= 63) return x >> 63;
        return (x >> n) + ((x >> (n - 1)) & 1);
    }
};

template <class T, class Op>
void binary_loop(const T *a, size_t na, const T *b, size_t nb, T *out, Op op) {
    const size_t n = std::min(na, nb);
    for (size_t i = 0; i < n; ++i) out[i] = op(a[i], b[i]);
}

template <class T, class Op>
void shift_loop(const T *a, size_t len, T *out, int n, Op op) {
    for (size_t i = 0; i < len; ++i) out[i] = op(a[i], n);
}

// Products exact in 32 bits, summed in the unsigned type of Acc (wrapping).
template <class Acc, class T>
Acc dot_loop(const T *a, size_t na, const T *b, size_t nb) {
    using U = std::make_unsigned_t<Acc>;
    const size_t n = std::min(na, nb);
    U sum = 0;
    for (size_t i = 0; i < n; ++i) sum += U(Acc(int32_t(a[i]) * b[i]));
    return Acc(sum);
}

// The element rules of T.
template <class T>
using Rules = std::conditional_t<sizeof(T) == 8, Wide, Fixed<T>>;

// The reference kernels, one template per operation of QV_ARITH_KERNELS.
// arith_simd.cpp defines its own templates of these names in its namespace.
template <class T>
void add(const T *a, size_t na, const T *b, size_t nb, T *out) { binary_loop(a, na, b, nb, out, Rules<T>::add); }
template <class T>
void sub(const T *a, size_t na, const T *b, size_t nb, T *out) { binary_loop(a, na, b, nb, out, Rules<T>::sub); }
template <class T>
void mul(const T *a, size_t na, const T *b, size_t nb, T *out) { binary_loop(a, na, b, nb, out, Rules<T>::mul); }
template <class T>
DotSum<T> dot(const T *a, size_t na, const T *b, size_t nb) { return dot_loop<DotSum<T>>(a, na, b, nb); }
template <class T>
void shl(const T *a, size_t len, T *out, int n) { shift_loop(a, len, out, n, Rules<T>::shl); }
template <class T>
void shr(const T *a, size_t len, T *out, int n) { shift_loop(a, len, out, n, Rules<T>::shr); }

}  // namespace
}  // namespace qv::arith

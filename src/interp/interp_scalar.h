// Evaluation of one point by the plain formula, the plain loops over it (the
// reference every variant must match bit for bit), and the exact remainder
// that replaces its fmod in the variants.
// Internal linkage: compiled once per instruction set. Tables and outputs are
// handled as interleaved (real, imag) doubles, so no inline function of
// <complex> is instantiated here.
#pragma once

#include <cmath>
#include <cstddef>

#include "interp/interp_core.h"

namespace qv::interp {
namespace {

// Table index of floor(p) wrapped into [0, n): fmod, a sign fix, and NaN
// (from a NaN or infinite p) sent to 0 since converting it is undefined.
inline size_t plain_index(double f, size_t n) {
    const double dn = double(n);
    double m = std::fmod(f, dn);
    if (m < 0) m += dn;
    if (!(m >= 0)) return 0;
    return size_t(m);  // f is integral, so m is exact and lies in [0, n)
}

// Value at index i0 and fraction t by method M (any other value than floor
// and nearest is linear); v holds the table, out receives one value.
template <int M>
inline void evaluate(const double *v, size_t n, size_t i0, double t, double *out) {
    const double *a = v + 2 * i0;
    if constexpr (M == QV_INTERP_FLOOR) {
        out[0] = a[0];
        out[1] = a[1];
    } else {
        const double *b = v + 2 * (i0 + 1 == n ? 0 : i0 + 1);
        if constexpr (M == QV_INTERP_NEAREST) {
            const double *c = t > 0.5 ? b : a;
            out[0] = c[0];
            out[1] = c[1];
        } else {
            out[0] = std::fma(b[0] - a[0], t, a[0]);
            out[1] = std::fma(b[1] - a[1], t, a[1]);
        }
    }
}

// The plain formula for one point p.
template <int M>
inline void plain_point(const double *v, size_t n, double p, double *out) {
    const double f = std::floor(p);
    evaluate<M>(v, n, plain_index(f, n), p - f, out);
}

// The reference of Variant::locate.
inline void locate_plain(const double *x, size_t count, size_t n, size_t *index, size_t *next, double *frac) {
    for (size_t k = 0; k < count; ++k) {
        const double f = std::floor(x[k]);
        index[k] = plain_index(f, n);
        next[k] = index[k] + 1 == n ? 0 : index[k] + 1;
        frac[k] = x[k] - f;
    }
}

// The reference of Variant::execute: the plain forward loop, point by point,
// so it also serves points that share memory with out.
template <int M>
void plain_loop(const double *v, size_t n, const double *x, size_t count, double *out) {
    for (size_t k = 0; k < count; ++k) plain_point<M>(v, n, x[k], out + 2 * k);
}

inline void execute_plain(const interp_table_t *t, const double *x, size_t count, qv_cf64 *out) {
    const double *v = reinterpret_cast<const double *>(t->values);
    double *o = reinterpret_cast<double *>(out);
    switch (t->method) {
        case QV_INTERP_FLOOR: return plain_loop<QV_INTERP_FLOOR>(v, t->n, x, count, o);
        case QV_INTERP_NEAREST: return plain_loop<QV_INTERP_NEAREST>(v, t->n, x, count, o);
        default: return plain_loop<QV_INTERP_LINEAR>(v, t->n, x, count, o);
    }
}

// Exact floored remainder without fmod. For integral |f| < 2^62 and
// n <= kFastMaxN, with inv_n = 1/n rounded:
//  - f * inv_n is within |f / n| * 2^-52 of f / n, so with q its floor,
//    r = f - q * n lies in (-1025, n + 1025) as |f| * 2^-52 < 1024; being
//    an integer below 2^53, the fma computes it exactly.
//  - For that r the product r * inv_n errs by less than 1/n, the least
//    distance of r / n from an integer unless r / n is one; so the second
//    quotient is floor(r / n), or one less when n divides r, and the second
//    remainder lies in [0, n]. Mapping n to 0 gives f mod n.
// kFastMaxN leaves room for directed rounding (errors twice as large).
constexpr size_t kFastMaxN = size_t(1) << 48;
constexpr double kFastMaxF = 0x1p62;

inline double fast_remainder(double f, double dn, double inv_n) {
    double r = std::fma(-std::floor(f * inv_n), dn, f);
    r = std::fma(-std::floor(r * inv_n), dn, r);
    return r >= dn ? r - dn : r;
}

// plain_index(f, n) for integral (or non-finite) f, fast where the exact
// remainder applies.
inline size_t fast_index(double f, size_t n, double dn, double inv_n) {
    if (n <= kFastMaxN && std::fabs(f) < kFastMaxF) return size_t(fast_remainder(f, dn, inv_n));
    return plain_index(f, n);
}

}  // namespace
}  // namespace qv::interp

// Evaluation of one point: the plain formula every faster path must match.
// Internal linkage: compiled once per instruction set.
#pragma once

#include <cmath>

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

inline qv_cf64 evaluate(const qv_cf64 *v, size_t n, int method, double p, double f, size_t i0) {
    if (method == QV_INTERP_FLOOR) return v[i0];
    const size_t i1 = i0 + 1 == n ? 0 : i0 + 1;
    const double t = p - f;
    if (method == QV_INTERP_NEAREST) return t > 0.5 ? v[i1] : v[i0];
    return {std::fma(v[i1].real() - v[i0].real(), t, v[i0].real()),
            std::fma(v[i1].imag() - v[i0].imag(), t, v[i0].imag())};
}

}  // namespace
}  // namespace qv::interp

// The package's shared numeric primitives, defined once. The inline forms in
// namespace qv (C++ only) are what the AGC loops apply; the exported C
// functions of the util core wrap them, so both give identical bits for equal
// inputs. The exported part is C and C++.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/qv_api.h"

// complex64: float32 real part, then float32 imaginary part (the two types
// have the same layout and calling convention).
#ifdef __cplusplus
#include <complex>
typedef std::complex<float> qv_cf32;
#else
typedef float _Complex qv_cf32;
#endif

QV_API qv_cf32 square_clip(qv_cf32 y, float lin);
QV_API size_t next_pow_two(size_t n);
QV_API double saturate(double v, double lo, double hi, double nan_to);
QV_API double ema_step(double state, double x, double alpha);
QV_API double ema_alpha_decim(double alpha, size_t d);

#ifdef __cplusplus
#include <bit>
#include <cmath>

// The inline forms have internal linkage on purpose: the AGC compiles this
// header once per instruction set, and each copy must stay in its own object.
namespace qv {

// The complex construction rule: the real part is re + im*0 in one fused
// multiply-add, so -0 becomes +0 beside a non-negative imaginary part and an
// infinite or NaN imaginary part makes the real part NaN.
static inline qv_cf32 make_cf32(float re, float im) { return {std::fma(im, 0.0f, re), im}; }

// IEEE maxNum/minNum: a NaN operand yields the other one.
static inline float max_num(float a, float b) { return (a >= b || b != b) ? a : b; }
static inline float min_num(float a, float b) { return (a <= b || b != b) ? a : b; }

// Both parts clamped into [-lin, lin]: a NaN part becomes -lin, a negative lin
// turns both parts into lin, a NaN lin passes them through.
static inline qv_cf32 square_clip(qv_cf32 y, float lin) {
    return make_cf32(min_num(max_num(y.real(), -lin), lin), min_num(max_num(y.imag(), -lin), lin));
}

// Smallest power of two >= n; 0 and 1 give 1, anything above 2^63 gives 0.
static inline size_t next_pow_two(size_t n) {
    if (n <= 1) return 1;
    if (n > (size_t(1) << 63)) return 0;
    return std::bit_ceil(n);
}

// Total saturation into [lo, hi]; NaN (or a NaN bound) goes to nan_to.
static inline double saturate(double v, double lo, double hi, double nan_to) {
    if (lo <= v && v <= hi) return v;
    if (v < lo) return lo;
    if (v > hi) return hi;
    return nan_to;
}

// One step of a first-order moving average; alpha >= 1 passes x through.
static inline double ema_step(double state, double x, double alpha) {
    if (alpha >= 1.0) return x;
    return std::fma(x - state, alpha, state);
}

// Per-chunk coefficient 1 - (1 - alpha)^d of an average advanced once per d
// samples; d < 2 returns alpha itself so that d = 1 matches the per-sample form.
static inline double ema_alpha_decim(double alpha, size_t d) {
    if (d < 2) return alpha;
    if (alpha <= 0.0) return 0.0;
    if (alpha >= 1.0) return 1.0;
    return -std::expm1(double(d) * std::log1p(-alpha));
}

}  // namespace qv
#endif  // __cplusplus

// The fourteen bit-exact fixed-point kernels. Two-input kernels process
// min(na, nb) elements; shifts process len. Output may alias any input in
// any way: the result is always that of the plain forward element loop.
// C and C++.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/qv_api.h"

// One entry per kernel: X(name, kind, element type T, operation). The kind
// gives the C signature (QV_ARITH_SIGNATURE_<kind> below):
//   binary  void name(const T *a, size_t na, const T *b, size_t nb, T *out)
//   shift   void name(const T *a, size_t len, T *out, int n)
//   dot     S name(const T *a, size_t na, const T *b, size_t nb), where S,
//           the inner product's type, is int64_t for int16_t and int32_t for int8_t
// Inside the core, `operation` names the template that implements the
// kernel in each variant and in the reference (arith_simd.cpp, arith_scalar.h).
#define QV_ARITH_KERNELS(X)             \
    X(add_q15, binary, int16_t, add)    \
    X(sub_q15, binary, int16_t, sub)    \
    X(mul_q15, binary, int16_t, mul)    \
    X(dot_q15, dot, int16_t, dot)       \
    X(shl_q15, shift, int16_t, shl)     \
    X(shr_q15, shift, int16_t, shr)     \
    X(add_q8, binary, int8_t, add)      \
    X(sub_q8, binary, int8_t, sub)      \
    X(mul_q8, binary, int8_t, mul)      \
    X(dot_q8, dot, int8_t, dot)         \
    X(shl_q8, shift, int8_t, shl)       \
    X(shr_q8, shift, int8_t, shr)       \
    X(shl_i64, shift, int64_t, shl)     \
    X(shr_i64, shift, int64_t, shr)

typedef int64_t qv_dot_sum_int16_t;
typedef int32_t qv_dot_sum_int8_t;

#define QV_ARITH_SIGNATURE_binary(name, T) void name(const T *a, size_t na, const T *b, size_t nb, T *out)
#define QV_ARITH_SIGNATURE_shift(name, T) void name(const T *a, size_t len, T *out, int n)
#define QV_ARITH_SIGNATURE_dot(name, T) qv_dot_sum_##T name(const T *a, size_t na, const T *b, size_t nb)

#define QV_ARITH_DECLARE_(name, kind, T, operation) QV_API QV_ARITH_SIGNATURE_##kind(name, T);
QV_ARITH_KERNELS(QV_ARITH_DECLARE_)
#undef QV_ARITH_DECLARE_

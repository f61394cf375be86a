// The fourteen bit-exact fixed-point kernels. Two-input kernels process
// min(na, nb) elements; shifts process len. Output may alias any input in
// any way: the result is always that of the plain forward element loop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/qv_api.h"

QV_API void add_q15(const int16_t *a, size_t na, const int16_t *b, size_t nb, int16_t *out);
QV_API void sub_q15(const int16_t *a, size_t na, const int16_t *b, size_t nb, int16_t *out);
QV_API void mul_q15(const int16_t *a, size_t na, const int16_t *b, size_t nb, int16_t *out);
QV_API int64_t dot_q15(const int16_t *a, size_t na, const int16_t *b, size_t nb);
QV_API void shl_q15(const int16_t *a, size_t len, int16_t *out, int n);
QV_API void shr_q15(const int16_t *a, size_t len, int16_t *out, int n);

QV_API void add_q8(const int8_t *a, size_t na, const int8_t *b, size_t nb, int8_t *out);
QV_API void sub_q8(const int8_t *a, size_t na, const int8_t *b, size_t nb, int8_t *out);
QV_API void mul_q8(const int8_t *a, size_t na, const int8_t *b, size_t nb, int8_t *out);
QV_API int32_t dot_q8(const int8_t *a, size_t na, const int8_t *b, size_t nb);
QV_API void shl_q8(const int8_t *a, size_t len, int8_t *out, int n);
QV_API void shr_q8(const int8_t *a, size_t len, int8_t *out, int n);

QV_API void shl_i64(const int64_t *a, size_t len, int64_t *out, int n);
QV_API void shr_i64(const int64_t *a, size_t len, int64_t *out, int n);

// Exact running integer sums: acc_q15_* keeps a 64-bit register fed with
// int16 samples, acc_q8_* a 32-bit register fed with int8 samples that wraps
// modulo 2^32. One template (acc_core.cpp) serves both widths. C and C++.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/qv_api.h"

typedef struct acc_q15_t {
    int64_t acc;
} acc_q15_t;
typedef struct acc_q8_t {
    int32_t acc;
} acc_q8_t;

enum { QV_ACC_Q15_STATE_BYTES = 24, QV_ACC_Q8_STATE_BYTES = 20 };  // acc_q*_state_bytes()

QV_API acc_q15_t *acc_q15_create(int64_t acc);
QV_API void acc_q15_destroy(acc_q15_t *a);
QV_API void acc_q15_reset(acc_q15_t *a);
QV_API size_t acc_q15_state_bytes(acc_q15_t *a);
QV_API void acc_q15_get_state(acc_q15_t *a, void *blob);
QV_API int acc_q15_set_state(acc_q15_t *a, const void *blob);
QV_API void acc_q15_steps(acc_q15_t *a, const int16_t *x, size_t n);
QV_API int64_t acc_q15_get_acc(acc_q15_t *a);
QV_API void acc_q15_set_acc(acc_q15_t *a, int64_t acc);
QV_API int64_t acc_q15_get(acc_q15_t *a);
QV_API int64_t acc_q15_dump(acc_q15_t *a);
QV_API void acc_q15_madd(acc_q15_t *a, const int16_t *x, size_t nx, const int16_t *y, size_t ny);

QV_API acc_q8_t *acc_q8_create(int32_t acc);
QV_API void acc_q8_destroy(acc_q8_t *a);
QV_API void acc_q8_reset(acc_q8_t *a);
QV_API size_t acc_q8_state_bytes(acc_q8_t *a);
QV_API void acc_q8_get_state(acc_q8_t *a, void *blob);
QV_API int acc_q8_set_state(acc_q8_t *a, const void *blob);
QV_API void acc_q8_steps(acc_q8_t *a, const int8_t *x, size_t n);
QV_API int32_t acc_q8_get_acc(acc_q8_t *a);
QV_API void acc_q8_set_acc(acc_q8_t *a, int32_t acc);
QV_API int32_t acc_q8_get(acc_q8_t *a);
QV_API int32_t acc_q8_dump(acc_q8_t *a);
QV_API void acc_q8_madd(acc_q8_t *a, const int8_t *x, size_t nx, const int8_t *y, size_t ny);

// Periodic complex table interpolation: one period of a complex128 table,
// evaluated at arbitrary real points by floor, nearest or linear rule.
// C and C++.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/qv_api.h"

// complex128: double real part, then double imaginary part (the two types
// have the same layout and calling convention).
#ifdef __cplusplus
#include <complex>
typedef std::complex<double> qv_cf64;
#else
typedef double _Complex qv_cf64;
#endif

enum { QV_INTERP_FLOOR = 0, QV_INTERP_NEAREST = 1, QV_INTERP_LINEAR = 2 };

typedef struct interp_table_t {
    qv_cf64 *values;  // the core's own copy of the table
    size_t n;         // table length, at least 1
    int32_t method;   // QV_INTERP_*; any other value acts as linear
} interp_table_t;

// A copy of n entries evaluated by `method`; null when n is 0 or the memory
// cannot be had.
QV_API interp_table_t *interp_table_create(const qv_cf64 *table, size_t n, int method);
QV_API void interp_table_destroy(interp_table_t *t);
// Does nothing: the table has no running state. Kept so that every object resets alike.
QV_API void interp_table_reset(interp_table_t *t);
QV_API size_t interp_table_execute_max_out(interp_table_t *t);
// Evaluates the first min(n_in, n_out) points of x into out and returns that
// count. out may share memory with x in any way: the result is then that of
// the plain forward loop, each point read after every output before it is
// written.
QV_API size_t interp_table_execute(interp_table_t *t, const double *x, size_t n_in, qv_cf64 *out, size_t n_out);

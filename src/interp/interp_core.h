// Periodic complex table interpolation: one period of a complex128 table,
// evaluated at arbitrary real points by floor, nearest or linear rule.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>

#include "common/qv_api.h"

typedef std::complex<double> qv_cf64;

enum { QV_INTERP_FLOOR = 0, QV_INTERP_NEAREST = 1, QV_INTERP_LINEAR = 2 };

struct interp_table_t {
    qv_cf64 *values;  // the core's own copy of the table
    size_t n;         // table length, at least 1
    int32_t method;   // QV_INTERP_*; any other value acts as linear
};

QV_API interp_table_t *interp_table_create(const qv_cf64 *table, size_t n, int method);
QV_API void interp_table_destroy(interp_table_t *t);
QV_API void interp_table_reset(interp_table_t *t);
QV_API size_t interp_table_execute_max_out(interp_table_t *t);
QV_API size_t interp_table_execute(interp_table_t *t, const double *x, size_t n_in, qv_cf64 *out, size_t n_out);

// The evaluation loops behind interp_table_execute: the plain loop of
// interp_scalar.h (the reference) and one variant per instruction set
// (interp_simd.cpp), which must match it bit for bit. Internal to the core;
// nothing here is exported.
#pragma once

#include <cstddef>

#include "common/cpu_isa.h"
#include "interp/interp_core.h"

namespace qv::interp {

struct Variant {
    // For each point x[k] with f = floor(x[k]): index[k] = f mod n as the
    // plain formula wraps it, next[k] the index after it (0 after n - 1),
    // frac[k] = x[k] - f. Any n >= 1. Here for the native test: execute
    // calls its own locate directly.
    void (*locate)(const double *x, size_t count, size_t n, size_t *index, size_t *next, double *frac);
    // Evaluates count points into out, which must not overlap x.
    void (*execute)(const interp_table_t *t, const double *x, size_t count, qv_cf64 *out);
};

QV_DECLARE_VARIANTS()

}  // namespace qv::interp

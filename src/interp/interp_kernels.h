// The evaluation loops behind interp_table_execute: one variant per
// instruction set (interp_kernels.cpp) and the plain loop they must match
// bit for bit. Internal to the core; nothing here is exported.
#pragma once

#include <cstddef>

#include "common/cpu_isa.h"
#include "interp/interp_core.h"

namespace qv::interp {

struct Kernels {
    // For each point x[k] with f = floor(x[k]): index[k] = f mod n as the
    // plain formula wraps it, next[k] the index after it (0 after n - 1),
    // frac[k] = x[k] - f. Any n >= 1.
    void (*locate)(const double *x, size_t count, size_t n, size_t *index, size_t *next, double *frac);
    // Evaluates count points into out, which must not overlap x.
    void (*execute)(const interp_table_t *t, const double *x, size_t count, qv_cf64 *out);
};

QV_DECLARE_PER_ISA(extern const Kernels kernels;)

// Outputs of at least this many points (8 MiB) are written around the
// caches when aligned to 16 bytes: their lines are not read before being
// overwritten, and they do not push the table and the points out.
constexpr size_t kStreamMin = size_t(1) << 19;

// The plain forward loop, point by point with the plain formula.
void execute_plain(const interp_table_t *t, const double *x, size_t count, qv_cf64 *out);

}  // namespace qv::interp

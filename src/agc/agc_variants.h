// The AGC loops behind agc_steps and agc_settling_samples: the plain chunk
// loop of agc_scalar.h (the reference) and one variant per instruction set
// (agc_simd.cpp), which must match it bit for bit. Both loops need fused
// multiply-adds, which only the wider sets do in hardware. Internal to the
// core; nothing here is exported.
#pragma once

#include "agc/agc_core.h"
#include "common/cpu_isa.h"

namespace qv::agc {

struct Variant {
    void (*steps)(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n);
    // The per-sample loop against a constant input: the first sample count
    // whose gain command lies within tol_db of target_db, or 0.
    uint64_t (*settle)(agc_t *a, float amplitude, double target_db, double tol_db, uint64_t budget);
};

QV_DECLARE_VARIANTS()

}  // namespace qv::agc

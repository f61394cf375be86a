// The AGC loops compiled once per instruction set (agc_loops.cpp); agc_core.cpp
// picks one set at load. Both loops need fused multiply-adds, which only the
// wider sets do in hardware.
#pragma once

#include "agc/agc_core.h"
#include "common/cpu_isa.h"

namespace qv::agc {

struct Loops {
    void (*steps)(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n);
    void (*steps_scalar)(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n);  // the reference of steps
    uint64_t (*settle)(agc_t *a, float amplitude, double target_db, double tol_db, uint64_t budget);
};

QV_DECLARE_PER_ISA(extern const Loops loops;)

}  // namespace qv::agc

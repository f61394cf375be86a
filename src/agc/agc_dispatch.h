// The AGC loops compiled once per instruction set (agc_loops.cpp); agc_core.cpp
// picks one set at load. Both loops need fused multiply-adds, which only the
// wider sets do in hardware.
#pragma once

#include "agc/agc_core.h"

#define QV_AGC_LOOPS(isa)                                                                     \
    namespace qv::agc::isa {                                                                 \
    void steps(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n);                        \
    void steps_scalar(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n);                  \
    uint64_t settle(agc_t *a, float amplitude, double target_db, double tol_db, uint64_t budget); \
    }

QV_AGC_LOOPS(sse2)
QV_AGC_LOOPS(avx2)
QV_AGC_LOOPS(avx512)
#undef QV_AGC_LOOPS

// The AGC loops behind agc_steps, agc_stream and agc_settling_samples: the
// plain loops of agc_scalar.h under the drivers of agc_drivers.h (the
// reference) and one variant per instruction set (agc_simd.cpp), which must
// match them bit for bit. Both loops need fused
// multiply-adds, which only the wider sets do in hardware. Internal to the
// core; nothing here is exported.
#pragma once

#include "agc/agc_core.h"
#include "common/cpu_isa.h"

namespace qv::agc {

// A run of `count` samples inside one chunk, in[k] being the chunk's sample
// first + k: gained by the chunk's ramp float(fma(step, first + k + 1,
// g_prev)), clipped at `clip` into out[k] (out may be in), the squares of
// its real and imaginary parts added to partial sums 2 (first + k mod 2) and
// the one after it. None of them is an odd chunk's last sample, which goes
// onto the combined sum instead.
struct Span {
    const qv_cf32 *in;
    qv_cf32 *out;
    size_t count;
    uint64_t first;
    double g_prev, step;
    float clip;
};

struct Variant {
    void (*steps)(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n);
    void (*stream)(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n);
    // The kernel of a chunk that a call starts, resumes or completes.
    void (*span)(const Span &s, float sums[4]);
    // steps and stream of a bank: row c, n samples at in + c n, through chan[c],
    // for each of `channels` records that hold the same parameters.
    void (*bank_steps)(agc_t *chan, size_t channels, const qv_cf32 *in, qv_cf32 *out, size_t n);
    void (*bank_stream)(agc_t *chan, size_t channels, const qv_cf32 *in, qv_cf32 *out, size_t n);
    // bank_stream over rows anywhere: row c, n samples from in[c] to out[c].
    void (*bank_stream_rows)(agc_t *chan, size_t channels, const qv_cf32 *const *in, qv_cf32 *const *out, size_t n);
    // The per-sample loop against a constant input: the sample count after
    // which the gain command stays within tol_db of target_db, or 0.
    uint64_t (*settle)(agc_t *a, float amplitude, double target_db, double tol_db, uint64_t budget);
    // bank_steps over an interleaved (n, channels) block: channel c's samples
    // at in + c, in + c + channels, ...
    void (*bank_steps_interleaved)(agc_t *chan, size_t channels, const qv_cf32 *in, qv_cf32 *out, size_t n);
};

QV_DECLARE_VARIANTS()

}  // namespace qv::agc

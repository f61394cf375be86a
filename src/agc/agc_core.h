// Log-domain feedback AGC for complex64 samples: the record and the exported
// functions. The loop multiplies each sample by a linear gain derived from a
// command held in dB, measures the gained power with a moving-average
// detector, and integrates ref_db - level_db into the command; the output is
// square-clipped only after the detector has seen it. The per-sample step
// and the conversions are inline in agc_loop.h. C and C++.
#pragma once

#include <assert.h>
#include <stddef.h>
#include <stdint.h>

#include "common/qv_api.h"
#include "qv_tlm/qv_tlm_core.h"
#include "util/util_core.h"

typedef struct agc_t {
    // Parameters. No field is range-checked anywhere.
    double ref_db;                // target output power, dB (0 dB = unit power)
    double loop_bw;               // loop noise bandwidth, cycles/sample; loop gain 4*loop_bw
    double alpha;                 // detector moving-average coefficient, (0, 1]
    uint64_t decim;               // chunk length of the block path; 0 acts as 1
    double clip_db;               // output clip level, dB per component
    uint64_t gain_update_period;  // per-sample path: samples per loop update; 0 acts as 1
    // Loop state.
    double gain_db;               // loop-filter integrator: the gain command, dB
    double p_avg;                 // detector state: smoothed output power, linear
    double g_last;                // linear gain applied to the most recent sample
    uint64_t hold_count;          // samples since the last per-sample loop update
    float clip_lin;               // per-component clip amplitude of the per-sample path
    uint32_t reserved;            // carried through state blobs untouched
    // Telemetry attachment; not part of the state. Held while attached (qv_tlm_holders.h).
    qv_tlm *tlm;
    uint32_t gain_probe;
    uint32_t level_probe;
} agc_t;
// The state blob carries the record from ref_db through reserved, as is.
static_assert(offsetof(agc_t, ref_db) == 0 && offsetof(agc_t, reserved) == 84, "agc_t state layout");
static_assert(offsetof(agc_t, tlm) == 88, "agc_t state length");

enum { QV_AGC_STATE_BYTES = 120 };  // agc_state_bytes()

QV_API agc_t *agc_create(double ref_db, double loop_bw, double alpha);
QV_API void agc_destroy(agc_t *a);
QV_API void agc_reset(agc_t *a);
QV_API double agc_get_applied_gain_db(const agc_t *a);
QV_API size_t agc_state_bytes(agc_t *a);
QV_API void agc_get_state(const agc_t *a, void *blob);
QV_API int agc_set_state(agc_t *a, const void *blob);
// The block path over n samples. out is either in itself (in place) or apart
// from it: any other overlap gives samples that depend on the instruction
// set the core runs (the Python binding copies such an input first).
QV_API void agc_steps(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n);
QV_API int agc_set_telemetry(agc_t *a, qv_tlm *tlm, const char *prefix, int decim);
QV_API uint64_t agc_settling_samples(double loop_bw, double alpha, double gain_err_db, double tol_db);
// The same query under a second name; exported for C callers, nothing in the package calls it.
QV_API uint64_t settling_samples(double loop_bw, double alpha, double gain_err_db, double tol_db);

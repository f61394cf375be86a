// Log-domain feedback AGC for complex64 samples: the record and the exported
// functions. The loop multiplies each sample by a linear gain derived from a
// command held in dB, measures the gained power with a moving-average
// detector, and integrates ref_db - level_db into the command; the output is
// square-clipped only after the detector has seen it. The per-sample step
// and the conversions are inline in agc_loop.h. C and C++.
//
// The block path comes in two forms. agc_steps cuts every call into chunks
// of decim samples from its first sample. agc_stream carries the chunk grid
// across calls: a chunk that a call leaves unfinished is pending, its samples
// already output and their squares kept as four partial sums, and the call
// that completes it makes its loop update.
#pragma once

#include <assert.h>
#include <math.h>
#include <stddef.h>
#include <stdint.h>

#include "common/qv_api.h"
#include "qv_tlm/qv_tlm_core.h"
#include "util/util_core.h"

// A chunk of agc_stream that a call left unfinished. Its gain ramp runs from
// g_last to db_to_amp(gain_db) over `len` samples, so the record's loop state
// fixes it; nothing but agc_stream moves that state while a chunk is pending
// (agc_steps, agc_step and agc_reset drop the chunk, agc_set_state replaces
// it).
typedef struct agc_pending_t {
    uint64_t done;   // samples of the chunk already output; 0: nothing pending, else < len
    uint64_t len;    // the chunk's length: decim (0 as 1) when the chunk started
    float sums[4];   // squares of the gained components k = 0 .. 2 done - 1, in sum k mod 4
} agc_pending_t;

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
    uint32_t flags;               // QV_AGC_ACQUIRE; the other bits are carried through state blobs untouched
    // Telemetry attachment; not part of the state. Held while attached (qv_tlm_holders.h).
    qv_tlm *tlm;
    uint32_t gain_probe;
    uint32_t level_probe;
    // The pending chunk of agc_stream; in the state blob of versions 4 and 5.
    agc_pending_t pending;
    // The burst parameters, off at their QV_AGC_*_OFF values; in the state
    // blob of version 5, in this order.
    double max_gain_db;           // ceiling of the gain command, dB; +inf (and NaN): none
    double gate_db;               // input power below which an update holds the gain, dB; -inf (and NaN): none
    double attack_db;             // excess over ref_db of an update's own level that it corrects at once; +inf (and NaN): never
} agc_t;
// The state blob carries the record from ref_db through flags, as is.
static_assert(offsetof(agc_t, ref_db) == 0 && offsetof(agc_t, flags) == 84, "agc_t state layout");
static_assert(offsetof(agc_t, tlm) == 88, "agc_t state length");
static_assert(sizeof(agc_pending_t) == 32, "agc_pending_t is copied into the state blob as it is");
static_assert(offsetof(agc_t, attack_db) == offsetof(agc_t, max_gain_db) + 16, "the burst parameters are one run");

// The loop's parameters, X(name, scope), in the order of their fields of
// agc_t: `shared` ones belong to an AGCBank as a whole (all its channels
// hold the same), `own` ones only to a single AGC. The bank's configure and
// compare and the properties of both Python types are made from this list.
// The acquisition bit of flags is a parameter too, shared, handled by name.
#define QV_AGC_PARAMETERS(X)   \
    X(ref_db, shared)          \
    X(loop_bw, shared)         \
    X(alpha, shared)           \
    X(decim, shared)           \
    X(clip_db, shared)         \
    X(gain_update_period, own)  \
    X(max_gain_db, shared)     \
    X(gate_db, shared)         \
    X(attack_db, shared)

// QV_AGC_IF_SHARED(scope, text): the text for a parameter a bank shares.
#define QV_AGC_IF_SHARED(scope, ...) QV_AGC_IF_SHARED_##scope(__VA_ARGS__)
#define QV_AGC_IF_SHARED_shared(...) __VA_ARGS__
#define QV_AGC_IF_SHARED_own(...)

// agc_state_bytes(): 120 (version 3), or 152 (version 4) while a chunk of
// agc_stream is pending; 176 (version 5) whenever max_gain_db, gate_db or
// attack_db is not off. Version 4 is the 120 bytes of version 3 (header
// apart) followed by the pending chunk: done and len (uint64 at 120 and 128)
// and the four partial sums (float at 136 .. 151). Version 5 is the 152
// bytes of version 4, done 0 when nothing is pending, followed by
// max_gain_db, gate_db and attack_db (double at 152, 160, 168).
// agc_set_state takes all three; a version 3 blob leaves nothing pending, a
// version 4 blob must hold 0 < done < len, a version 5 blob done 0 or that;
// a blob of version 3 or 4 switches the three off.
enum { QV_AGC_STATE_BYTES = 120, QV_AGC_STATE_BYTES_PENDING = 152, QV_AGC_STATE_BYTES_ONSET = 176 };

// Bit 0 of flags, the acquisition mode (off after create): the detector
// follows the gain the loop applies, so a loud onset pulls the gain down once
// instead of far below target. Read by both paths; a block call reads it when
// it starts, the per-sample path at every loop update.
enum { QV_AGC_ACQUIRE = 1 };

// The burst parameters' values when off, as agc_create sets them: no
// ceiling beyond the gain's own bounds, no gate, no fast attack.
#define QV_AGC_MAX_GAIN_OFF INFINITY
#define QV_AGC_GATE_OFF (-INFINITY)
#define QV_AGC_ATTACK_OFF INFINITY

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
// Drops a pending chunk of agc_stream first.
QV_API void agc_steps(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n);
// The block path over the next n samples of one stream, same rules for out.
// Chunks run on from where the last call left off: the output of any split
// equals one agc_steps call on every complete chunk. A pending chunk keeps
// the length it started with and runs its update on the call that completes
// it, under the parameters and mode as that call finds them; each call clips
// at clip_db as it finds it.
QV_API void agc_stream(agc_t *a, const qv_cf32 *in, qv_cf32 *out, size_t n);
QV_API int agc_set_telemetry(agc_t *a, qv_tlm *tlm, const char *prefix, int decim);
// The settling query with the mode off; exported for C callers, nothing in the package calls it.
QV_API uint64_t agc_settling_samples(double loop_bw, double alpha, double gain_err_db, double tol_db);
// The same query on a loop with these flags (QV_AGC_ACQUIRE or 0).
QV_API uint64_t agc_settling_samples_flags(double loop_bw, double alpha, double gain_err_db, double tol_db,
                                           uint32_t flags);
// The same query on a loop with the loop_bw, alpha, flags, max_gain_db,
// gate_db and attack_db of `like` (ref_db 0 and an update every sample, as
// the query defines them).
QV_API uint64_t agc_settling_samples_like(const agc_t *like, double gain_err_db, double tol_db);
// The same query under a second name; exported for C callers, nothing in the package calls it.
QV_API uint64_t settling_samples(double loop_bw, double alpha, double gain_err_db, double tol_db);

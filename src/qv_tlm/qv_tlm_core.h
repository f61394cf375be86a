// Telemetry: up to 64 named probes per context, each with its own thinning,
// feeding one single-producer single-consumer ring of 16-byte records. The
// ring's storage is mapped twice back to back, so any run of waiting records
// is contiguous and a read is one copy, wrapped or not.
//
// Memory ordering: the producer publishes a record with a release store of
// `head` and sees freed slots through an acquire load of `tail`; the consumer
// mirrors that. `dropped` is a relaxed atomic add. Registration, decimation
// changes and resize are setup steps, not synchronised with traffic.
//
// C and C++: a C program can create a context, emit through the inline
// qv_tlm_emit and read records back.
#pragma once

#include <assert.h>
#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdalign.h>
#endif

#include "common/qv_api.h"

typedef struct qv_tlm_rec {
    uint64_t stamp;     // the context's stamp at emission
    float value;        // the emitted value in single precision
    uint16_t probe;     // probe id
    uint16_t reserved;  // always 0
} qv_tlm_rec;
static_assert(sizeof(qv_tlm_rec) == 16, "a record is 16 bytes");
static_assert(offsetof(qv_tlm_rec, value) == 8 && offsetof(qv_tlm_rec, probe) == 12 &&
                  offsetof(qv_tlm_rec, reserved) == 14,
              "record layout");

// The ring; each counter on a cache line of its own (which aligns the
// record to 64 bytes).
typedef struct qv_tlmr {
    qv_tlm_rec *data;                 // base of the mirrored storage: 2 * capacity records of address space
    uint64_t mask;                    // capacity - 1
    uint64_t capacity;                // record slots, a power of two
    alignas(64) uint64_t head;        // records ever written; producer-owned
    alignas(64) uint64_t tail;        // records ever consumed; consumer-owned
    alignas(64) uint64_t dropped;     // records refused on a full ring
} qv_tlmr;
static_assert(offsetof(qv_tlmr, head) == 64 && offsetof(qv_tlmr, tail) == 128 &&
                  offsetof(qv_tlmr, dropped) == 192 && sizeof(qv_tlmr) == 256,
              "ring layout");

enum { QV_TLM_MAX_PROBES = 64, QV_TLM_NAME_BYTES = 32 };

typedef struct qv_tlm_probe_entry {
    char name[QV_TLM_NAME_BYTES];  // NUL-terminated, at most 31 bytes of text
    uint32_t decim;                // keeps one emit call in decim (>= 1)
    uint32_t phase;                // calls since the last kept one
    uint64_t emitted;              // records of this probe that entered a ring
} qv_tlm_probe_entry;
static_assert(sizeof(qv_tlm_probe_entry) == 48, "probe entry layout");

typedef struct qv_tlm {
    qv_tlmr *ring;  // owned
    uint64_t stamp;
    uint32_t probe_count;
    qv_tlm_probe_entry probes[QV_TLM_MAX_PROBES];
} qv_tlm;

typedef struct qv_tlm_stats_t {
    uint64_t dropped;
    uint64_t emitted;
    uint64_t capacity;
    uint64_t probe_count;
} qv_tlm_stats_t;

// The ring's storage is reserved at creation and growth (a ring the shared-
// memory filesystem cannot hold is refused), and in a child made by fork()
// every ring gets a private copy, so neither process sees the other's records
// (a ring the child cannot get storage for is left with capacity 0 and drops
// everything). qv_tlm_destroy ends the caller's hold: an AGC still attached
// keeps the context until it is detached or destroyed.
QV_API qv_tlm *qv_tlm_create(size_t capacity);
QV_API void qv_tlm_destroy(qv_tlm *t);
QV_API int qv_tlm_probe(qv_tlm *t, const char *name, uint32_t decim);
QV_API int qv_tlm_probe_id(qv_tlm *t, const char *name);
QV_API int qv_tlm_set_decim(qv_tlm *t, const char *name, uint32_t decim);
QV_API const char *qv_tlm_probe_name(qv_tlm *t, int id);
QV_API uint32_t qv_tlm_probe_count(qv_tlm *t);
// Exported for C callers; nothing in the package calls it.
QV_API int qv_tlm_probe_id_at(qv_tlm *t, size_t index);
QV_API size_t qv_tlm_capacity(qv_tlm *t);
QV_API uint64_t qv_tlm_stamp(qv_tlm *t);
QV_API void qv_tlm_set_stamp(qv_tlm *t, uint64_t stamp);

QV_API int qv_tlm_emit_checked(qv_tlm *t, uint32_t id, double value);
QV_API size_t qv_tlm_avail(qv_tlm *t);
// Exported for C callers; nothing in the package calls it.
QV_API size_t qv_tlm_read_max_out(qv_tlm *t);
QV_API size_t qv_tlm_read(qv_tlm *t, size_t max_records, qv_tlm_rec *out, size_t out_capacity);
// Exported for C callers; nothing in the package calls it.
QV_API size_t qv_tlm_block_bound(qv_tlm *t, size_t n);
QV_API uint64_t qv_tlm_dropped(qv_tlm *t);
QV_API uint64_t qv_tlm_emitted(qv_tlm *t, int id);
QV_API qv_tlm_stats_t qv_tlm_stats(qv_tlm *t);
QV_API void qv_tlm_demux_counts(const qv_tlm_rec *records, size_t count, size_t *counts, size_t counts_len);
QV_API void qv_tlm_demux(const qv_tlm_rec *records, size_t count, float *const *values, uint64_t *const *stamps,
                         const size_t *caps, size_t caps_len);

QV_API int qv_tlm_resize(qv_tlm *t, size_t capacity);

// The emit sequence instrumented loops compile in: per-probe thinning, then
// one record, or one count in `dropped` when the ring is full. The caller has
// tested its context for null and holds an id it registered (below 64).
// GCC's __atomic builtins act on the plain counters in C and C++ alike.
static inline void qv_tlm_emit(qv_tlm *t, uint32_t id, double value) {
    qv_tlm_probe_entry *probe = &t->probes[id];
    if (++probe->phase < probe->decim) return;
    probe->phase = 0;
    qv_tlmr *ring = t->ring;
    const uint64_t head = __atomic_load_n(&ring->head, __ATOMIC_RELAXED);
    const uint64_t tail = __atomic_load_n(&ring->tail, __ATOMIC_ACQUIRE);
    if (head - tail == ring->capacity) {
        __atomic_fetch_add(&ring->dropped, 1, __ATOMIC_RELAXED);
        return;
    }
    const qv_tlm_rec record = {t->stamp, (float)value, (uint16_t)id, 0};
    ring->data[head & ring->mask] = record;
    __atomic_store_n(&ring->head, head + 1, __ATOMIC_RELEASE);
    ++probe->emitted;
}

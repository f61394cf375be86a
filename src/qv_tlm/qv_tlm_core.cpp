#include "qv_tlm/qv_tlm_core.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "qv_tlm/qv_tlm_holders.h"
#include "qv_tlm/qv_tlm_mirror.h"
#include "util/util_core.h"

namespace {

constexpr int kRejected = QV_REJECTED;

// A ring header and what only this file needs to know about it.
struct Ring {
    qv_tlmr pub;       // first member: a qv_tlmr * handed out is this Ring
    Ring *prev, *next;  // the list of live rings, for a forked child
    size_t bytes;       // of storage, mapped twice from pub.data (qv::tlm::map_mirrored)
};

// A context and how many hold it: its owner until qv_tlm_destroy, plus one
// for every AGC attached to it. The last one to let go frees it.
struct Context {
    qv_tlm pub;  // first member: a qv_tlm * handed out is this Context
    uint32_t holders;
};

Ring *ring_of(qv_tlmr *r) { return reinterpret_cast<Ring *>(r); }
Context *context_of(qv_tlm *t) { return reinterpret_cast<Context *>(t); }

template <class T>
T *zeroed() {
    void *p = std::aligned_alloc(alignof(T), sizeof(T));  // the ring header's counters need 64-byte lines
    if (p) std::memset(p, 0, sizeof(T));
    return static_cast<T *>(p);
}

// Every live ring, so that a child made by fork() can give each one storage
// of its own (see own_storage_after_fork).
std::mutex live_lock;
Ring *live_rings = nullptr;

void link_ring(Ring *r) {
    std::lock_guard<std::mutex> hold(live_lock);
    r->next = live_rings;
    if (live_rings) live_rings->prev = r;
    live_rings = r;
}

void unlink_ring(Ring *r) {
    std::lock_guard<std::mutex> hold(live_lock);
    if (r->prev) r->prev->next = r->next;
    else live_rings = r->next;
    if (r->next) r->next->prev = r->prev;
}

void release_ring(qv_tlmr *ring) {
    Ring *r = ring_of(ring);
    unlink_ring(r);
    qv::tlm::unmap_mirrored(ring->data, r->bytes);
    std::free(r);
}

// The list stays still across fork(): the child must see it whole.
void lock_rings() { live_lock.lock(); }
void unlock_rings() { live_lock.unlock(); }

// In a child made by fork() the rings' storage is still shared with the
// parent, and the child's records would land on the parent's. Each ring gets
// a private copy mapped at the same addresses, so pointers into it (attached
// AGCs hold the context) stay valid. A ring that cannot get storage is
// retired: capacity 0, every record dropped, nothing written.
void own_storage_after_fork() {
    for (Ring *r = live_rings; r; r = r->next) {
        qv_tlmr &ring = r->pub;
        if (ring.capacity == 0) continue;
        if (!qv::tlm::own_copy_after_fork(ring.data, r->bytes)) {
            ring.capacity = ring.mask = 0;
            ring.tail = ring.head;  // empty, and full at once: nothing is read or written
        }
    }
    live_lock.unlock();
}

// A ring of at least `capacity` records (a power of two), raised to fill at
// least one page, in storage mapped twice back to back.
qv_tlmr *qv_tlmr_create(size_t capacity) {
    static std::once_flag fork_handler;
    std::call_once(fork_handler, [] { pthread_atfork(lock_rings, unlock_rings, own_storage_after_fork); });
    // Twice the storage must be addressable: refuse before anything can wrap.
    if (!std::has_single_bit(capacity) || capacity > SIZE_MAX / (2 * sizeof(qv_tlm_rec))) return nullptr;
    const size_t page = qv::tlm::page_bytes();
    while (capacity * sizeof(qv_tlm_rec) < page) capacity *= 2;
    const size_t bytes = capacity * sizeof(qv_tlm_rec);

    void *base = qv::tlm::map_mirrored(bytes);
    if (!base) return nullptr;
    Ring *r = zeroed<Ring>();
    if (!r) {
        qv::tlm::unmap_mirrored(base, bytes);
        return nullptr;
    }
    r->pub.data = static_cast<qv_tlm_rec *>(base);
    r->pub.mask = capacity - 1;
    r->pub.capacity = capacity;
    r->bytes = bytes;
    link_ring(r);
    return &r->pub;
}

int find(const qv_tlm *t, const char *name) {
    for (uint32_t id = 0; id < t->probe_count; ++id)
        if (std::strcmp(t->probes[id].name, name) == 0) return int(id);
    return kRejected;
}

// The next emit call of the probe produces a record.
void set_thinning(qv_tlm_probe_entry &probe, uint32_t decim) {
    probe.decim = decim;
    probe.phase = decim - 1;
}

uint64_t acquire(const uint64_t &counter) {
    return std::atomic_ref<uint64_t>(const_cast<uint64_t &>(counter)).load(std::memory_order_acquire);
}

}  // namespace

qv_tlm *qv_tlm_create(size_t capacity) {
    qv_tlmr *ring = qv_tlmr_create(capacity);
    if (!ring) return nullptr;
    Context *c = zeroed<Context>();
    if (!c) {
        release_ring(ring);
        return nullptr;
    }
    c->pub.ring = ring;
    c->holders = 1;  // the caller
    return &c->pub;
}

void qv_tlm_retain(qv_tlm *t) {
    std::atomic_ref<uint32_t>(context_of(t)->holders).fetch_add(1, std::memory_order_relaxed);
}

void qv_tlm_release(qv_tlm *t) {
    if (std::atomic_ref<uint32_t>(context_of(t)->holders).fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    release_ring(t->ring);
    std::free(context_of(t));
}

void qv_tlm_destroy(qv_tlm *t) {
    if (t) qv_tlm_release(t);
}

int qv_tlm_probe(qv_tlm *t, const char *name, uint32_t decim) {
    if (!t || !name || decim == 0 || std::strlen(name) >= QV_TLM_NAME_BYTES) return kRejected;
    const int found = find(t, name);
    if (found >= 0) {
        set_thinning(t->probes[found], decim);
        return found;
    }
    if (t->probe_count == QV_TLM_MAX_PROBES) return kRejected;
    const uint32_t id = t->probe_count++;
    qv_tlm_probe_entry &probe = t->probes[id];
    std::strcpy(probe.name, name);
    probe.emitted = 0;
    set_thinning(probe, decim);
    return int(id);
}

int qv_tlm_probe_id(qv_tlm *t, const char *name) { return t && name ? find(t, name) : kRejected; }

int qv_tlm_set_decim(qv_tlm *t, const char *name, uint32_t decim) {
    const int id = qv_tlm_probe_id(t, name);
    if (id < 0 || decim == 0) return kRejected;
    set_thinning(t->probes[id], decim);
    return 0;
}

const char *qv_tlm_probe_name(qv_tlm *t, int id) {
    if (!t || id < 0 || uint32_t(id) >= t->probe_count) return nullptr;
    return t->probes[id].name;
}

uint32_t qv_tlm_probe_count(qv_tlm *t) { return t ? t->probe_count : 0; }

int qv_tlm_probe_id_at(qv_tlm *t, size_t index) {
    return t && index < t->probe_count ? int(index) : kRejected;
}

size_t qv_tlm_capacity(qv_tlm *t) { return t ? size_t(t->ring->capacity) : 0; }

uint64_t qv_tlm_stamp(qv_tlm *t) { return t ? t->stamp : 0; }

void qv_tlm_set_stamp(qv_tlm *t, uint64_t stamp) {
    if (t) t->stamp = stamp;
}

int qv_tlm_emit_checked(qv_tlm *t, uint32_t id, double value) {
    if (!t || id >= t->probe_count) return kRejected;
    qv_tlm_emit(t, id, value);
    return 0;
}

size_t qv_tlm_avail(qv_tlm *t) {
    if (!t) return 0;
    return size_t(acquire(t->ring->head) - t->ring->tail);
}

size_t qv_tlm_read_max_out(qv_tlm *t) { return qv_tlm_avail(t); }

size_t qv_tlm_read(qv_tlm *t, size_t max_records, qv_tlm_rec *out, size_t out_capacity) {
    if (!t || !out) return 0;
    qv_tlmr *ring = t->ring;
    const uint64_t tail = std::atomic_ref<uint64_t>(ring->tail).load(std::memory_order_relaxed);
    uint64_t n = acquire(ring->head) - tail;
    if (max_records != 0) n = std::min<uint64_t>(n, max_records);
    n = std::min<uint64_t>(n, out_capacity);
    if (n == 0) return 0;
    std::memcpy(out, ring->data + (tail & ring->mask), size_t(n) * sizeof(qv_tlm_rec));  // one copy, mirrored
    std::atomic_ref<uint64_t>(ring->tail).store(tail + n, std::memory_order_release);
    return size_t(n);
}

size_t qv_tlm_block_bound(qv_tlm *t, size_t n) {
    if (!t || n == 0 || t->probe_count == 0) return 0;
    if (n > SIZE_MAX / t->probe_count) return SIZE_MAX;
    return n * t->probe_count;
}

uint64_t qv_tlm_dropped(qv_tlm *t) {
    return t ? std::atomic_ref<uint64_t>(t->ring->dropped).load(std::memory_order_relaxed) : 0;
}

uint64_t qv_tlm_emitted(qv_tlm *t, int id) {
    if (!t || id < 0 || uint32_t(id) >= t->probe_count) return 0;
    return t->probes[id].emitted;
}

qv_tlm_stats_t qv_tlm_stats(qv_tlm *t) {
    if (!t) return {};
    uint64_t emitted = 0;
    for (uint32_t id = 0; id < t->probe_count; ++id) emitted += t->probes[id].emitted;
    return {qv_tlm_dropped(t), emitted, t->ring->capacity, t->probe_count};
}

void qv_tlm_demux_counts(const qv_tlm_rec *records, size_t count, size_t *counts, size_t counts_len) {
    if (!counts || counts_len == 0) return;
    std::fill(counts, counts + counts_len, size_t(0));
    if (!records) return;
    for (size_t i = 0; i < count; ++i)
        if (records[i].probe < counts_len) ++counts[records[i].probe];
}

void qv_tlm_demux(const qv_tlm_rec *records, size_t count, float *const *values, uint64_t *const *stamps,
                  const size_t *caps, size_t caps_len) {
    if (!records || !caps || caps_len == 0) return;
    const size_t k = std::min<size_t>(caps_len, QV_TLM_MAX_PROBES);
    size_t fill[QV_TLM_MAX_PROBES] = {};
    for (size_t i = 0; i < count; ++i) {
        const size_t p = records[i].probe;
        if (p >= k || fill[p] >= caps[p]) continue;
        if (values && values[p]) values[p][fill[p]] = records[i].value;
        if (stamps && stamps[p]) stamps[p][fill[p]] = records[i].stamp;
        ++fill[p];
    }
}

// A larger, empty ring under the same probes; never shrinks. Not synchronised
// with emission or reading.
int qv_tlm_resize(qv_tlm *t, size_t capacity) {
    if (!t) return kRejected;
    if (t->ring->capacity >= capacity) return 0;
    const size_t wanted = qv::next_pow_two(capacity);
    if (wanted == 0) return kRejected;  // above 2^63
    qv_tlmr *ring = qv_tlmr_create(wanted);
    if (!ring) return kRejected;
    release_ring(t->ring);
    t->ring = ring;
    return 0;
}

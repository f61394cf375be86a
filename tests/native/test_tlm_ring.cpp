// The telemetry ring seen from C++: the mirrored mapping, a read across the
// wrap, and one producer thread against one consumer thread with a small ring
// that wraps and fills (run under ThreadSanitizer in CI).
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "qv_tlm/qv_tlm_core.h"

static int failures = 0;
#define CHECK(cond)                                                      \
    do {                                                                 \
        if (!(cond)) {                                                   \
            std::printf("%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                  \
        }                                                                \
    } while (0)

static void mirrored_storage() {
    qv_tlm *t = qv_tlm_create(4096);
    CHECK(t && qv_tlm_capacity(t) == 4096);
    const int id = qv_tlm_probe(t, "p", 1);
    qv_tlmr *ring = t->ring;
    // Advance both counters so the next record lands in slot 4090.
    ring->head = ring->tail = 4090;
    t->stamp = 77;
    CHECK(qv_tlm_emit_checked(t, uint32_t(id), 1.5) == 0);
    const qv_tlm_rec *low = ring->data + 4090, *high = ring->data + 4090 + 4096;
    CHECK(std::memcmp(low, high, sizeof *low) == 0 && high->stamp == 77 && high->value == 1.5f);
    // A run across the last slot comes out whole and in order.
    for (int k = 1; k < 12; ++k) {
        t->stamp = 77 + uint64_t(k);
        qv_tlm_emit_checked(t, uint32_t(id), k);
    }
    qv_tlm_rec out[16];
    CHECK(qv_tlm_read(t, 0, out, 16) == 12);
    for (int k = 0; k < 12; ++k) CHECK(out[k].stamp == 77 + uint64_t(k) && out[k].probe == id && out[k].reserved == 0);
    qv_tlm_destroy(t);
}

// The producer stamps every kept record with its sequence number; the
// consumer must see strictly increasing stamps, and read + dropped = emitted.
static void producer_consumer() {
    constexpr uint64_t kRecords = 10'000'000;
    qv_tlm *t = qv_tlm_create(256);
    const int id = qv_tlm_probe(t, "seq", 1);
    std::atomic<bool> done{false};
    uint64_t received = 0, last = 0, disorder = 0;
    std::thread consumer([&] {
        std::vector<qv_tlm_rec> buf(97);
        for (;;) {
            const bool finished = done.load(std::memory_order_acquire);
            size_t n;
            while ((n = qv_tlm_read(t, 0, buf.data(), buf.size())) != 0) {
                for (size_t i = 0; i < n; ++i) {
                    disorder += buf[i].stamp <= last && received > 0;
                    last = buf[i].stamp;
                    ++received;
                }
            }
            if (finished) break;
        }
    });
    for (uint64_t k = 1; k <= kRecords; ++k) {
        t->stamp = k;
        qv_tlm_emit(t, uint32_t(id), double(k));
    }
    done.store(true, std::memory_order_release);
    consumer.join();
    const qv_tlm_stats_t s = qv_tlm_stats(t);
    CHECK(disorder == 0);
    CHECK(s.emitted == received);
    CHECK(s.emitted + s.dropped == kRecords);
    std::printf("received %llu, dropped %llu\n", (unsigned long long)received, (unsigned long long)s.dropped);
    qv_tlm_destroy(t);
}

int main() {
    mirrored_storage();
    producer_consumer();
    return failures ? 1 : 0;
}

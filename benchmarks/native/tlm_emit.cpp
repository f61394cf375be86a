// Cost of the inline telemetry emit in a tight loop: a kept record (decim 1,
// the ring drained by the same thread whenever it is full) and a call that
// the probe's thinning drops. Built against the quorvel sources.
//
// Output, one line: <ns per kept emit> <ns per thinned-out emit>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "qv_tlm/qv_tlm_core.h"

static double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// Median over `runs` of the ns per call of `pass(calls)`; `prepare` runs
// untimed before each pass.
template <class Prepare, class Pass>
static double median_ns(int runs, size_t calls, Prepare prepare, Pass pass) {
    std::vector<double> t;
    for (int r = 0; r < runs; ++r) {
        prepare();
        const double start = thread_seconds();
        pass(calls);
        t.push_back((thread_seconds() - start) / double(calls) * 1e9);
    }
    std::nth_element(t.begin(), t.begin() + runs / 2, t.end());
    return t[size_t(runs / 2)];
}

int main() {
    qv_tlm *t = qv_tlm_create(1 << 16);
    const uint32_t kept = uint32_t(qv_tlm_probe(t, "kept", 1));
    const uint32_t thinned = uint32_t(qv_tlm_probe(t, "thinned", 1u << 30));
    std::vector<qv_tlm_rec> sink(qv_tlm_capacity(t));
    const size_t capacity = sink.size();
    volatile double value = 0.5;
    auto drain = [&] { qv_tlm_read(t, 0, sink.data(), sink.size()); };
    const double kept_ns = median_ns(41, capacity, drain, [&](size_t calls) {
        for (size_t i = 0; i < calls; ++i) qv_tlm_emit(t, kept, value);
    });
    const double thinned_ns = median_ns(21, 1 << 22, [] {}, [&](size_t calls) {
        for (size_t i = 0; i < calls; ++i) qv_tlm_emit(t, thinned, value);
    });
    std::printf("%.4f %.4f\n", kept_ns, thinned_ns);
    qv_tlm_destroy(t);
    return 0;
}

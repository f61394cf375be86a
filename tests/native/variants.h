// The frame of a native test that checks every instruction-set variant of a
// core against its scalar reference: the rows to run, the load-time choice,
// failure counting and the closing line. A test builds its rows from
// QV_EVERY_VARIANT (plus any table of its own, such as the exported entry
// points), calls check_active, checks each supported row against
// `reference`, and returns summary() from main.
#pragma once

#include <cstdio>
#include <string_view>
#include <vector>

#include "common/cpu_isa.h"

namespace qv::test {

inline int failures = 0;

// Prints the first twenty failures; every one counts.
template <class... A>
void fail(const char *fmt, A... args) {
    if (++failures <= 20) std::printf(fmt, args...);
}

template <class V>
struct Row {
    const char *name;
    const V *table;
    bool supported = true;  // false: this CPU lacks the instruction set
};

// One row per instruction set, in list order, then the extra rows. Prints a
// line for each set this CPU lacks; its row is skipped.
template <class V>
std::vector<Row<V>> rows(const PerIsa<V> &per_isa, std::initializer_list<Row<V>> extra = {}) {
    const size_t cpu = size_t(detected_isa());
    std::vector<Row<V>> rows;
    for (size_t k = 0; k < kIsaCount; ++k) {
        rows.push_back({kIsaNames[k], per_isa[k], k <= cpu});
        if (k > cpu) std::printf("%s: not supported by this CPU, skipped\n", kIsaNames[k]);
    }
    rows.insert(rows.end(), extra);
    return rows;
}

// The core's active table must be the one chosen at load: the reference in a
// reference-only build or on an architecture without a list of sets, else
// the variant of this CPU's widest set; and the core must name it so
// (active_isa()). Call it from main, after every load-time constructor has run.
template <class V>
void check_active(const PerIsa<V> &per_isa, const V &reference, const V *active, const char *name) {
    const bool plain = kReferenceOnly || kIsaCount == 0;
    const size_t cpu = size_t(detected_isa());
    const V *expected = plain ? &reference : per_isa[cpu];
    if (active != expected) fail("the active table is not the one chosen for this CPU and build\n");
    const std::string_view expected_name = plain ? "reference" : kIsaNames[cpu];
    if (name != expected_name) fail("the core names its active table %s, not %s\n", name, expected_name.data());
}

// The closing line and the exit status of main.
inline int summary() {
    std::printf("%d failures\n", failures);
    return failures != 0;
}

}  // namespace qv::test

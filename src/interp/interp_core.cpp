#include "interp/interp_core.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "interp/interp_point.h"

using namespace qv::interp;

interp_table_t *interp_table_create(const qv_cf64 *table, size_t n, int method) {
    if (n == 0 || n > SIZE_MAX / sizeof(qv_cf64)) return nullptr;
    auto *t = static_cast<interp_table_t *>(std::calloc(1, sizeof(interp_table_t)));
    if (!t) return nullptr;
    t->values = static_cast<qv_cf64 *>(std::malloc(n * sizeof(qv_cf64)));
    if (!t->values) {
        std::free(t);
        return nullptr;
    }
    std::memcpy(t->values, table, n * sizeof(qv_cf64));
    t->n = n;
    t->method = method;
    return t;
}

void interp_table_destroy(interp_table_t *t) {
    if (!t) return;
    std::free(t->values);
    std::free(t);
}

void interp_table_reset(interp_table_t *) {}

size_t interp_table_execute_max_out(interp_table_t *) { return 0; }

size_t interp_table_execute(interp_table_t *t, const double *x, size_t n_in, qv_cf64 *out, size_t n_out) {
    const size_t count = std::min(n_in, n_out);
    for (size_t k = 0; k < count; ++k) {
        const double f = std::floor(x[k]);
        out[k] = evaluate(t->values, t->n, t->method, x[k], f, plain_index(f, t->n));
    }
    return count;
}

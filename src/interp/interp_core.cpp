#include "interp/interp_core.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "interp/interp_scalar.h"
#include "interp/interp_variants.h"

namespace qv::interp {

QV_DEFINE_ACTIVE_VARIANT({.locate = locate_plain, .execute = execute_plain})

}  // namespace qv::interp

namespace {

bool overlaps(const double *x, size_t count, const qv_cf64 *out) {
    const uintptr_t xb = reinterpret_cast<uintptr_t>(x), ob = reinterpret_cast<uintptr_t>(out);
    return xb < ob + count * sizeof(qv_cf64) && ob < xb + count * sizeof(double);
}

}  // namespace

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
    if (count == 0) return 0;
    // The variants read points ahead of writing; a point stored in out's
    // memory must be read after the outputs before it, as the plain loop does.
    if (overlaps(x, count, out))
        qv::interp::execute_plain(t, x, count, out);
    else
        qv::interp::active->execute(t, x, count, out);
    return count;
}

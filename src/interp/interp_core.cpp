#include "interp/interp_core.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "interp/interp_kernels.h"
#include "interp/interp_point.h"

namespace qv::interp {
namespace {

template <int M>
void plain_loop(const double *v, size_t n, const double *x, size_t count, double *out) {
    for (size_t k = 0; k < count; ++k) plain_point<M>(v, n, x[k], out + 2 * k);
}

// The widest variant this CPU and its OS support, chosen once at load.
const Kernels &active = qv::for_this_cpu(sse2::kernels, avx2::kernels, avx512::kernels);

bool overlaps(const double *x, size_t count, const qv_cf64 *out) {
    const uintptr_t xb = reinterpret_cast<uintptr_t>(x), ob = reinterpret_cast<uintptr_t>(out);
    return xb < ob + count * sizeof(qv_cf64) && ob < xb + count * sizeof(double);
}

}  // namespace

void execute_plain(const interp_table_t *t, const double *x, size_t count, qv_cf64 *out) {
    const double *v = reinterpret_cast<const double *>(t->values);
    double *o = reinterpret_cast<double *>(out);
    switch (t->method) {
        case QV_INTERP_FLOOR: return plain_loop<QV_INTERP_FLOOR>(v, t->n, x, count, o);
        case QV_INTERP_NEAREST: return plain_loop<QV_INTERP_NEAREST>(v, t->n, x, count, o);
        default: return plain_loop<QV_INTERP_LINEAR>(v, t->n, x, count, o);
    }
}

}  // namespace qv::interp

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
    if (count == 0) return 0;
    // The block loop reads points ahead of writing; a point stored in out's
    // memory must be read after the outputs before it, as the plain loop does.
    if (overlaps(x, count, out))
        execute_plain(t, x, count, out);
    else
        active.execute(t, x, count, out);
    return count;
}

// The implementations behind the fourteen exported kernels: the plain loops
// of arith_scalar.h (the reference) and one explicit-SIMD variant per
// instruction set (arith_simd.cpp), all with the exported signatures and the
// same results. Internal to the core; nothing here is exported.
#pragma once

#include <type_traits>

#include "arith/arith_kernels.h"
#include "common/cpu_isa.h"

namespace qv::arith {

// The type of an inner product of T (qv_dot_sum_<T> of arith_kernels.h).
template <class T>
using DotSum = std::conditional_t<sizeof(T) == 1, qv_dot_sum_int8_t, qv_dot_sum_int16_t>;

// One pointer per kernel of QV_ARITH_KERNELS, named after it.
struct Variant {
#define QV_ARITH_FIELD_(name, kind, T, operation) QV_ARITH_SIGNATURE_##kind((*name), T);
    QV_ARITH_KERNELS(QV_ARITH_FIELD_)
#undef QV_ARITH_FIELD_
};

QV_DECLARE_VARIANTS()

// A whole Variant from the kernel templates visible where it is expanded:
// {.add_q15 = add<int16_t>, ...}. arith_simd.cpp expands it among the
// templates of its instruction set, arith_kernels.cpp among the plain loops.
#define QV_ARITH_ENTRY_(name, kind, T, operation) .name = operation<T>,
#define QV_ARITH_VARIANT {QV_ARITH_KERNELS(QV_ARITH_ENTRY_)}

}  // namespace qv::arith

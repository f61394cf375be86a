// The implementations behind the fourteen exported kernels: the plain loops
// of arith_scalar.h and one explicit-SIMD variant per instruction set
// (arith_simd.cpp), all with the exported signatures and the same results.
// Internal to the core; nothing here is exported.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cpu_isa.h"

namespace qv::arith {

template <class T>
using BinaryFn = void (*)(const T *a, size_t na, const T *b, size_t nb, T *out);
template <class T, class Acc>
using DotFn = Acc (*)(const T *a, size_t na, const T *b, size_t nb);
template <class T>
using ShiftFn = void (*)(const T *a, size_t len, T *out, int n);

struct Kernels {
    BinaryFn<int16_t> add_q15, sub_q15, mul_q15;
    DotFn<int16_t, int64_t> dot_q15;
    ShiftFn<int16_t> shl_q15, shr_q15;
    BinaryFn<int8_t> add_q8, sub_q8, mul_q8;
    DotFn<int8_t, int32_t> dot_q8;
    ShiftFn<int8_t> shl_q8, shr_q8;
    ShiftFn<int64_t> shl_i64, shr_i64;
};

extern const Kernels scalar_kernels;
QV_DECLARE_PER_ISA(extern const Kernels kernels;)

}  // namespace qv::arith

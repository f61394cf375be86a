// The vector operations of the arithmetic kernels (struct Vec) for the
// architecture this translation unit is compiled for. Every form has the
// same operations with the same results lane for lane; arith_simd.cpp is
// written once over them.
#pragma once

#if defined(__x86_64__)
#include "arith/arith_vec_x86.h"
#elif defined(__aarch64__)
#include "arith/arith_vec_neon.h"
#else
#error "arith_simd.cpp is compiled only for an architecture with a list of instruction sets (common/cpu_isa.h)"
#endif

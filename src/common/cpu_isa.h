// Cores compiled once per instruction set: their per-set names and the choice
// of the widest set this CPU runs.
#pragma once

// Declares the given declarations in each of the namespaces sse2, avx2 and
// avx512, where a source compiled once per set (QV_ISA) defines them.
#define QV_DECLARE_PER_ISA(...)   \
    namespace sse2 {              \
    __VA_ARGS__                   \
    }                             \
    namespace avx2 {              \
    __VA_ARGS__                   \
    }                             \
    namespace avx512 {            \
    __VA_ARGS__                   \
    }

namespace qv {

enum class Isa { sse2, avx2, avx512 };

// The widest set this CPU supports and its OS enables (libgcc checks both).
inline Isa detected_isa() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq"))
        return Isa::avx512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("bmi2"))
        return Isa::avx2;
    return Isa::sse2;
}

// The one of three per-set variants this CPU should run.
template <class T>
const T &for_this_cpu(const T &sse2, const T &avx2, const T &avx512) {
    switch (detected_isa()) {
        case Isa::avx512: return avx512;
        case Isa::avx2: return avx2;
        default: return sse2;
    }
}

}  // namespace qv

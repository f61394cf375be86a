// The widest instruction set this CPU runs, for cores compiled once per set.
#pragma once

namespace qv {

enum class Isa { sse2, avx2, avx512 };

inline Isa detected_isa() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq"))
        return Isa::avx512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("bmi2"))
        return Isa::avx2;
    return Isa::sse2;
}

}  // namespace qv

// The instruction sets a core's hot loops are compiled for, and the load-time
// choice among them. Plain C++ with no Python in it: cores include it.
//
// A core with per-set variants keeps one vocabulary (see CONTRIBUTING.md):
//   <core>_variants.h  struct Variant, a table of function pointers, and
//                      QV_DECLARE_VARIANTS(): the tables <set>::variant, the
//                      scalar `reference` and the `active` one;
//   <core>_simd.cpp    compiled once per set (QV_ISA names it), defines
//                      `const Variant variant` in namespace <core>::QV_ISA;
//   <core>_scalar.h    the plain loops every variant must match bit for bit;
//   the core source    QV_DEFINE_ACTIVE_VARIANT({...}): `reference` and the
//                      `active` table chosen at load.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <iterator>

// Every set, narrowest first: X(name, features...). A set runs where this CPU
// has its features and those of every set before it; its code is compiled
// with -m<feature> for each of them. cmake/isa.cmake reads this list, so keep
// one entry per line in this form. The first set is the x86-64 baseline.
#define QV_FOR_EACH_ISA(X)                                      \
    X(sse2)                                                     \
    X(avx2, "avx2", "fma", "bmi2")                              \
    X(avx512, "avx512f", "avx512bw", "avx512vl", "avx512dq")

namespace qv {

#define QV_ISA_ENUMERATOR_(name, ...) name,
enum class Isa { QV_FOR_EACH_ISA(QV_ISA_ENUMERATOR_) };
#undef QV_ISA_ENUMERATOR_

#define QV_ISA_NAME_(name, ...) #name,
constexpr const char *kIsaNames[] = {QV_FOR_EACH_ISA(QV_ISA_NAME_)};
#undef QV_ISA_NAME_
constexpr size_t kIsaCount = std::size(kIsaNames);

// __builtin_cpu_supports takes a string literal only, so an entry's features
// are spelled out one by one: "&& supports(f)" for each of up to six.
#define QV_CPU_SUPPORTS_(...) __VA_OPT__(&&__builtin_cpu_supports(__VA_ARGS__))
#define QV_CPU_SUPPORTS_SIX_(a, b, c, d, e, f, ...)                              \
    QV_CPU_SUPPORTS_(a) QV_CPU_SUPPORTS_(b) QV_CPU_SUPPORTS_(c) QV_CPU_SUPPORTS_(d) \
    QV_CPU_SUPPORTS_(e) QV_CPU_SUPPORTS_(f)
#define QV_ISA_TRY_(name, ...)                                                            \
    static_assert(std::initializer_list<const char *>{__VA_ARGS__}.size() <= 6,          \
                  "QV_CPU_SUPPORTS_SIX_ tests six features per set");                    \
    runs = runs QV_CPU_SUPPORTS_SIX_(__VA_ARGS__, , , , , , );                            \
    if (runs) widest = Isa::name;

// The widest set this CPU supports and its OS enables (libgcc checks both).
inline Isa detected_isa() {
    __builtin_cpu_init();
    Isa widest{};
    bool runs = true;  // every feature of the sets tried so far is present
    QV_FOR_EACH_ISA(QV_ISA_TRY_)
    return widest;
}
#undef QV_ISA_TRY_

// A build that runs every core's scalar reference (QUORVEL_REFERENCE_ONLY),
// to check a result against the plain loops with one rebuild.
#ifdef QV_REFERENCE_ONLY
constexpr bool kReferenceOnly = true;
#else
constexpr bool kReferenceOnly = false;
#endif

// The table a core runs: its reference in a reference-only build, else the
// variant of the widest set this CPU runs. `per_isa` is QV_EVERY_VARIANT.
template <class V, size_t N>
const V *choose(const V *const (&per_isa)[N], const V &reference) {
    static_assert(N == kIsaCount);
    return kReferenceOnly ? &reference : per_isa[size_t(detected_isa())];
}

// The name of the set whose table `active` is, or "reference".
template <class V, size_t N>
const char *isa_name(const V *const (&per_isa)[N], const V *active) {
    for (size_t k = 0; k < N; ++k)
        if (per_isa[k] == active) return kIsaNames[k];
    return "reference";
}

}  // namespace qv

// In a core's namespace, after its struct Variant: the table of each set
// (defined by <core>_simd.cpp), the scalar reference, the active table and
// active_isa(), the name of the set it runs (QV_DEFINE_ACTIVE_VARIANT).
#define QV_DECLARE_VARIANT_(name, ...) \
    namespace name {                   \
    extern const Variant variant;      \
    }
#define QV_DECLARE_VARIANTS()                  \
    QV_FOR_EACH_ISA(QV_DECLARE_VARIANT_)       \
    extern const Variant reference;            \
    extern const Variant *active;              \
    const char *active_isa();

// {&sse2::variant, &avx2::variant, ...}: every set's table, in list order.
#define QV_VARIANT_OF_(name, ...) &name::variant,
#define QV_EVERY_VARIANT {QV_FOR_EACH_ISA(QV_VARIANT_OF_)}

// In the core source, in the core's namespace: the reference table from the
// initialiser given, and the active one, chosen at load. The pointer starts
// at the reference, which runs on every x86-64, and constinit sets it before
// any code runs: a call from another object's static initialiser, which may
// come before the choice, is safe.
#define QV_DEFINE_ACTIVE_VARIANT(...)                                                                      \
    constinit const Variant reference = __VA_ARGS__;                                                        \
    constinit const Variant *active = &reference;                                                           \
    __attribute__((constructor)) static void choose_variant() { active = qv::choose(QV_EVERY_VARIANT, reference); } \
    const char *active_isa() { return qv::isa_name(QV_EVERY_VARIANT, active); }

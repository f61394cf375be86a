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

#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

// One list per architecture of every set, narrowest first: X(name,
// features...). A set runs where this CPU has its features and those of every
// set before it; its code is compiled with the flags of each of them (x86-64:
// -m<feature>; aarch64: +<feature> added to -march=armv8-a). cmake/isa.cmake
// reads the list of the architecture it builds for, so keep one entry per
// line in this form. The first set of a list is its architecture's baseline.
#define QV_ISA_LIST_x86_64(X)                                   \
    X(sse2)                                                     \
    X(avx2, "avx2", "fma", "bmi2")                              \
    X(avx512, "avx512f", "avx512bw", "avx512vl", "avx512dq")
// Every aarch64 CPU has Advanced SIMD with fused multiply-add.
#define QV_ISA_LIST_aarch64(X)                                  \
    X(neon)

// The list of the architecture compiled for; elsewhere none, and every core
// runs its scalar reference.
#if defined(__x86_64__)
#define QV_FOR_EACH_ISA QV_ISA_LIST_x86_64
#define QV_ISA_ARCH "x86_64"
#elif defined(__aarch64__)
#define QV_FOR_EACH_ISA QV_ISA_LIST_aarch64
#define QV_ISA_ARCH "aarch64"
#include <sys/auxv.h>
#else
#define QV_FOR_EACH_ISA(X)
#define QV_ISA_ARCH ""
#endif

namespace qv {

// The architecture whose list applies, as named after QV_ISA_LIST_ ("" for
// none): cmake/isa.cmake asks the compiler for it.
constexpr std::string_view kIsaArch = QV_ISA_ARCH;

#define QV_ISA_ENUMERATOR_(name, ...) name,
enum class Isa { QV_FOR_EACH_ISA(QV_ISA_ENUMERATOR_) };
#undef QV_ISA_ENUMERATOR_

#define QV_ISA_ONE_(name, ...) +1
constexpr size_t kIsaCount = 0 QV_FOR_EACH_ISA(QV_ISA_ONE_);
#undef QV_ISA_ONE_

#define QV_ISA_NAME_(name, ...) #name,
constexpr std::array<const char *, kIsaCount> kIsaNames = {QV_FOR_EACH_ISA(QV_ISA_NAME_)};
#undef QV_ISA_NAME_

// A table of each set, in list order (QV_EVERY_VARIANT).
template <class V>
using PerIsa = std::array<const V *, kIsaCount>;

#if defined(__x86_64__)
// libgcc's test of a feature (it checks that the OS enables it too).
// __builtin_cpu_supports takes a string literal only, so an entry's features
// are spelled out one by one.
#define QV_CPU_INIT_() __builtin_cpu_init()
#define QV_CPU_HAS_(feature) __builtin_cpu_supports(feature)
#elif defined(__aarch64__)
// The Linux hardware capability bits of the aarch64 features a set may name,
// by their -march extension names; a name not here fails to compile. The
// values are the kernel's ABI (asm/hwcap.h), which older C libraries lack.
struct Hwcap {
    std::string_view feature;
    unsigned long type, bit;  // getauxval(type) & bit; type 16 is AT_HWCAP, 26 AT_HWCAP2
};
constexpr Hwcap kHwcaps[] = {
    {"fp16", 16, 1ul << 10}, {"dotprod", 16, 1ul << 20}, {"sve", 16, 1ul << 22},
    {"sve2", 26, 1ul << 1},  {"i8mm", 26, 1ul << 13},    {"bf16", 26, 1ul << 14},
};
consteval Hwcap hwcap_of(std::string_view feature) {
    for (const Hwcap &h : kHwcaps)
        if (h.feature == feature) return h;
    throw "an aarch64 feature without its entry in qv::kHwcaps";
}
inline bool hwcap_has(Hwcap h) { return (getauxval(h.type) & h.bit) != 0; }
#define QV_CPU_INIT_()
#define QV_CPU_HAS_(feature) qv::hwcap_has(qv::hwcap_of(feature))
#else
#define QV_CPU_INIT_()
#endif

// "&& has(f)" for each of an entry's features, up to six.
#define QV_CPU_SUPPORTS_(...) __VA_OPT__(&&QV_CPU_HAS_(__VA_ARGS__))
#define QV_CPU_SUPPORTS_SIX_(a, b, c, d, e, f, ...)                              \
    QV_CPU_SUPPORTS_(a) QV_CPU_SUPPORTS_(b) QV_CPU_SUPPORTS_(c) QV_CPU_SUPPORTS_(d) \
    QV_CPU_SUPPORTS_(e) QV_CPU_SUPPORTS_(f)
#define QV_ISA_TRY_(name, ...)                                                            \
    static_assert(std::initializer_list<const char *>{__VA_ARGS__}.size() <= 6,          \
                  "QV_CPU_SUPPORTS_SIX_ tests six features per set");                    \
    runs = runs QV_CPU_SUPPORTS_SIX_(__VA_ARGS__, , , , , , );                            \
    if (runs) widest = Isa::name;

// The widest set of the list that this CPU supports and its OS enables; only
// meaningful where the list has a set (kIsaCount > 0).
inline Isa detected_isa() {
    Isa widest{};
    [[maybe_unused]] bool runs = true;  // every feature of the sets tried so far is present
    QV_CPU_INIT_();
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

// The table a core runs: its reference in a reference-only build or where
// the architecture has no list, else the variant of the widest set this CPU
// runs. `per_isa` is QV_EVERY_VARIANT.
template <class V>
const V *choose(const PerIsa<V> &per_isa, const V &reference) {
    if constexpr (kReferenceOnly || kIsaCount == 0) return &reference;
    else return per_isa[size_t(detected_isa())];
}

// The name of the set whose table `active` is, or "reference".
template <class V>
const char *isa_name(const PerIsa<V> &per_isa, const V *active) {
    for (size_t k = 0; k < kIsaCount; ++k)
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

// {&sse2::variant, &avx2::variant, ...}: every set's table, in list order
// (a qv::PerIsa, empty where the architecture has no list).
#define QV_VARIANT_OF_(name, ...) &name::variant,
#define QV_EVERY_VARIANT (qv::PerIsa<Variant>{QV_FOR_EACH_ISA(QV_VARIANT_OF_)})

// In the core source, in the core's namespace: the reference table from the
// initialiser given, and the active one, chosen at load. The pointer starts
// at the reference, which runs on every CPU, and constinit sets it before
// any code runs: a call from another object's static initialiser, which may
// come before the choice, is safe.
#define QV_DEFINE_ACTIVE_VARIANT(...)                                                                      \
    constinit const Variant reference = __VA_ARGS__;                                                        \
    constinit const Variant *active = &reference;                                                           \
    __attribute__((constructor)) static void choose_variant() { active = qv::choose(QV_EVERY_VARIANT, reference); } \
    const char *active_isa() { return qv::isa_name(QV_EVERY_VARIANT, active); }

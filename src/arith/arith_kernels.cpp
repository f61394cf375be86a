// The exported kernels: each forwards to the variant for the widest
// instruction set this CPU runs, chosen once at load. The plain loops are
// kept as a variant of their own, the reference the others are tested on.
#include "arith/arith_kernels.h"

#include "arith/arith_scalar.h"
#include "arith/arith_variants.h"
#include "common/cpu_isa.h"

namespace qv::arith {
namespace {

template <class T, T (*op)(T, T)>
void binary(const T *a, size_t na, const T *b, size_t nb, T *out) {
    binary_loop(a, na, b, nb, out, op);
}

template <class T, T (*op)(T, int)>
void shift(const T *a, size_t len, T *out, int n) {
    shift_loop(a, len, out, n, op);
}

using Q15 = Fixed<int16_t>;
using Q8 = Fixed<int8_t>;

// The baseline until the load-time choice below: valid on every x86-64, so
// even a call from another object's static initialiser is safe.
constinit const Kernels *active = &sse2::kernels;

__attribute__((constructor)) void choose_variant() {
    active = &for_this_cpu(sse2::kernels, avx2::kernels, avx512::kernels);
}

}  // namespace

extern const Kernels scalar_kernels = {
    .add_q15 = binary<int16_t, Q15::add>,
    .sub_q15 = binary<int16_t, Q15::sub>,
    .mul_q15 = binary<int16_t, Q15::mul>,
    .dot_q15 = dot_loop<int64_t, int16_t>,
    .shl_q15 = shift<int16_t, Q15::shl>,
    .shr_q15 = shift<int16_t, Q15::shr>,
    .add_q8 = binary<int8_t, Q8::add>,
    .sub_q8 = binary<int8_t, Q8::sub>,
    .mul_q8 = binary<int8_t, Q8::mul>,
    .dot_q8 = dot_loop<int32_t, int8_t>,
    .shl_q8 = shift<int8_t, Q8::shl>,
    .shr_q8 = shift<int8_t, Q8::shr>,
    .shl_i64 = shift<int64_t, Wide::shl>,
    .shr_i64 = shift<int64_t, Wide::shr>,
};

}  // namespace qv::arith

using qv::arith::active;

void add_q15(const int16_t *a, size_t na, const int16_t *b, size_t nb, int16_t *out) { active->add_q15(a, na, b, nb, out); }
void sub_q15(const int16_t *a, size_t na, const int16_t *b, size_t nb, int16_t *out) { active->sub_q15(a, na, b, nb, out); }
void mul_q15(const int16_t *a, size_t na, const int16_t *b, size_t nb, int16_t *out) { active->mul_q15(a, na, b, nb, out); }
int64_t dot_q15(const int16_t *a, size_t na, const int16_t *b, size_t nb) { return active->dot_q15(a, na, b, nb); }
void shl_q15(const int16_t *a, size_t len, int16_t *out, int n) { active->shl_q15(a, len, out, n); }
void shr_q15(const int16_t *a, size_t len, int16_t *out, int n) { active->shr_q15(a, len, out, n); }
void add_q8(const int8_t *a, size_t na, const int8_t *b, size_t nb, int8_t *out) { active->add_q8(a, na, b, nb, out); }
void sub_q8(const int8_t *a, size_t na, const int8_t *b, size_t nb, int8_t *out) { active->sub_q8(a, na, b, nb, out); }
void mul_q8(const int8_t *a, size_t na, const int8_t *b, size_t nb, int8_t *out) { active->mul_q8(a, na, b, nb, out); }
int32_t dot_q8(const int8_t *a, size_t na, const int8_t *b, size_t nb) { return active->dot_q8(a, na, b, nb); }
void shl_q8(const int8_t *a, size_t len, int8_t *out, int n) { active->shl_q8(a, len, out, n); }
void shr_q8(const int8_t *a, size_t len, int8_t *out, int n) { active->shr_q8(a, len, out, n); }
void shl_i64(const int64_t *a, size_t len, int64_t *out, int n) { active->shl_i64(a, len, out, n); }
void shr_i64(const int64_t *a, size_t len, int64_t *out, int n) { active->shr_i64(a, len, out, n); }

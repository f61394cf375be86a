#include "arith/arith_kernels.h"

#include "arith/arith_scalar.h"

using namespace qv::arith;

using Q15 = Fixed<int16_t>;
using Q8 = Fixed<int8_t>;

void add_q15(const int16_t *a, size_t na, const int16_t *b, size_t nb, int16_t *out) { binary_loop(a, na, b, nb, out, Q15::add); }
void sub_q15(const int16_t *a, size_t na, const int16_t *b, size_t nb, int16_t *out) { binary_loop(a, na, b, nb, out, Q15::sub); }
void mul_q15(const int16_t *a, size_t na, const int16_t *b, size_t nb, int16_t *out) { binary_loop(a, na, b, nb, out, Q15::mul); }
int64_t dot_q15(const int16_t *a, size_t na, const int16_t *b, size_t nb) { return dot_loop<int64_t>(a, na, b, nb); }
void shl_q15(const int16_t *a, size_t len, int16_t *out, int n) { shift_loop(a, len, out, n, Q15::shl); }
void shr_q15(const int16_t *a, size_t len, int16_t *out, int n) { shift_loop(a, len, out, n, Q15::shr); }
void add_q8(const int8_t *a, size_t na, const int8_t *b, size_t nb, int8_t *out) { binary_loop(a, na, b, nb, out, Q8::add); }
void sub_q8(const int8_t *a, size_t na, const int8_t *b, size_t nb, int8_t *out) { binary_loop(a, na, b, nb, out, Q8::sub); }
void mul_q8(const int8_t *a, size_t na, const int8_t *b, size_t nb, int8_t *out) { binary_loop(a, na, b, nb, out, Q8::mul); }
int32_t dot_q8(const int8_t *a, size_t na, const int8_t *b, size_t nb) { return dot_loop<int32_t>(a, na, b, nb); }
void shl_q8(const int8_t *a, size_t len, int8_t *out, int n) { shift_loop(a, len, out, n, Q8::shl); }
void shr_q8(const int8_t *a, size_t len, int8_t *out, int n) { shift_loop(a, len, out, n, Q8::shr); }
void shl_i64(const int64_t *a, size_t len, int64_t *out, int n) { shift_loop(a, len, out, n, Wide::shl); }
void shr_i64(const int64_t *a, size_t len, int64_t *out, int n) { shift_loop(a, len, out, n, Wide::shr); }

// quorvel.arith module functions: the fourteen kernels on NumPy arrays.
#include <cstring>
#include <type_traits>

#include "arith/acc_module.h"
#include "arith/arith_kernels.h"
#include "arith/arith_variants.h"
#include "common/arrays.h"
#include "common/module.h"

namespace {

using qv::Array;

// NumPy's type number for an element type; no default, so a kernel on a new
// type fails to compile until it has one.
template <class T>
struct Typenum;
template <>
struct Typenum<int8_t> : std::integral_constant<int, NPY_INT8> {};
template <>
struct Typenum<int16_t> : std::integral_constant<int, NPY_INT16> {};
template <>
struct Typenum<int64_t> : std::integral_constant<int, NPY_INT64> {};
template <class T>
constexpr int kTypenum = Typenum<T>::value;

bool parse_pair(PyObject *args, PyObject *kw, Array &a, Array &b, int typenum) {
    static const char *_kwlist[] = {"a", "b", nullptr};
    PyObject *a_obj, *b_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "OO", const_cast<char **>(_kwlist), &a_obj, &b_obj)) return false;
    return qv::to_array(a_obj, typenum, a) && qv::to_array(b_obj, typenum, b);
}

// One binding per kernel kind of QV_ARITH_KERNELS; the kernel is a template
// argument, so every binding calls its exported function directly.

// a (op) b elementwise into a new array of a's length. Where b is shorter the
// tail holds zeros, never uninitialised memory.
template <class T, auto kernel>
PyObject *binary(PyObject *args, PyObject *kw) {
    Array a, b, out;
    if (!parse_pair(args, kw, a, b, kTypenum<T>) || !qv::new_vector(kTypenum<T>, a.size, out)) return nullptr;
    kernel(a.data<T>(), size_t(a.size), b.data<T>(), size_t(b.size), out.data<T>());
    if (b.size < a.size) std::memset(out.data<T>() + b.size, 0, sizeof(T) * size_t(a.size - b.size));
    return out.ref.release();
}

template <class T, auto kernel>
PyObject *dot(PyObject *args, PyObject *kw) {
    Array a, b;
    if (!parse_pair(args, kw, a, b, kTypenum<T>)) return nullptr;
    return PyLong_FromLongLong(kernel(a.data<T>(), size_t(a.size), b.data<T>(), size_t(b.size)));
}

template <class T, auto kernel>
PyObject *shift(PyObject *args, PyObject *kw) {
    static const char *_kwlist[] = {"a", "n", nullptr};
    PyObject *a_obj;
    int n;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "Oi", const_cast<char **>(_kwlist), &a_obj, &n)) return nullptr;
    Array a, out;
    if (!qv::to_array(a_obj, kTypenum<T>, a) || !qv::new_vector(kTypenum<T>, a.size, out)) return nullptr;
    kernel(a.data<T>(), size_t(a.size), out.data<T>(), n);
    return out.ref.release();
}

#define QV_PAIR_PARAMS(dtype)                                                        \
    "Parameters\n----------\n"                                                       \
    "a, b : array_like\n    Converted to " dtype " by NumPy's safe casting; any shape is\n" \
    "    taken as its flat C-order sequence.\n\n"
#define QV_SHIFT_PARAMS(dtype)                                                       \
    "Parameters\n----------\n"                                                       \
    "a : array_like\n    Converted to " dtype " by NumPy's safe casting; any shape is\n" \
    "    taken as its flat C-order sequence.\n"                                      \
    "n : int\n    Shift count (a C int); 0 or below copies a.\n\n"
#define QV_ARRAY_RESULT(dtype)                                                         \
    "Returns\n-------\nndarray\n    New one-dimensional " dtype " array of a's length. Only the\n" \
    "    first min(len(a), len(b)) elements are computed; a longer tail is zero.\n\n"

PyDoc_STRVAR(add_q15_doc,
"add_q15(a, b)\n--\n\n"
"Saturating Q15 addition: ``out[i] = sat16(a[i] + b[i])``.\n\n"
QV_PAIR_PARAMS("int16") QV_ARRAY_RESULT("int16")
"Examples\n--------\n"
">>> from quorvel.arith import add_q15\n"
">>> add_q15([100, 20000, -20000], [50, 20000, -20000])\n"
"array([   150,  32767, -32768], dtype=int16)\n");

PyDoc_STRVAR(sub_q15_doc,
"sub_q15(a, b)\n--\n\n"
"Saturating Q15 subtraction: ``out[i] = sat16(a[i] - b[i])``.\n\n"
QV_PAIR_PARAMS("int16") QV_ARRAY_RESULT("int16")
"Examples\n--------\n"
">>> from quorvel.arith import sub_q15\n"
">>> sub_q15([100, 0, -32768], [50, 0, 10])\n"
"array([    50,      0, -32768], dtype=int16)\n");

PyDoc_STRVAR(mul_q15_doc,
"mul_q15(a, b)\n--\n\n"
"Rounding Q15 multiply: ``sat16((a[i]*b[i] + 16384) >> 15)``.\n\n"
"Exact ties round toward plus infinity. Only -32768 * -32768 exceeds the\n"
"range (it gives 32767), so the result never reaches -32768.\n\n"
QV_PAIR_PARAMS("int16") QV_ARRAY_RESULT("int16")
"Examples\n--------\n"
">>> from quorvel.arith import mul_q15\n"
">>> mul_q15([16384, 16384, 32767, -32768], [16384, -16384, 32767, -32768])\n"
"array([ 8192, -8192, 32766, 32767], dtype=int16)\n");

PyDoc_STRVAR(dot_q15_doc,
"dot_q15(a, b)\n--\n\n"
"Q15 inner product: the exact sum of a[i]*b[i] in 64 bits (Q30).\n\n"
"No shift and no saturation. Shift right 15 to get a Q15 scalar\n"
"(``shr_i64`` with n = 15). Covers min(len(a), len(b)) pairs; an empty\n"
"range gives 0.\n\n"
QV_PAIR_PARAMS("int16")
"Returns\n-------\nint\n    The signed 64-bit sum.\n\n"
"Examples\n--------\n"
">>> from quorvel.arith import dot_q15\n"
">>> dot_q15([100, 200, 300], [1, 2, 3])\n"
"1400\n");

PyDoc_STRVAR(shl_q15_doc,
"shl_q15(a, n)\n--\n\n"
"Saturating Q15 left shift: ``sat16(a[i] * 2**n)``.\n\n"
"Counts of 16 and above give 32767, -32768 or 0 by the sign of a[i].\n\n"
QV_SHIFT_PARAMS("int16")
"Returns\n-------\nndarray\n    New one-dimensional int16 array.\n\n"
"Examples\n--------\n"
">>> from quorvel.arith import shl_q15\n"
">>> shl_q15([8192, 16384, 20000], 1)\n"
"array([16384, 32767, 32767], dtype=int16)\n");

PyDoc_STRVAR(shr_q15_doc,
"shr_q15(a, n)\n--\n\n"
"Rounding Q15 right shift: ``(a[i] + 2**(n-1)) >> n`` for n in 1..15.\n\n"
"Ties round toward plus infinity. Counts of 16 and above floor, giving 0 or\n"
"-1 by the sign of a[i].\n\n"
QV_SHIFT_PARAMS("int16")
"Returns\n-------\nndarray\n    New one-dimensional int16 array.\n\n"
"Examples\n--------\n"
">>> from quorvel.arith import shr_q15\n"
">>> shr_q15([100, 101, 102, -100], 2)\n"
"array([ 25,  25,  26, -25], dtype=int16)\n");

PyDoc_STRVAR(add_q8_doc,
"add_q8(a, b)\n--\n\n"
"Saturating Q8 addition: ``out[i] = sat8(a[i] + b[i])``.\n\n"
QV_PAIR_PARAMS("int8") QV_ARRAY_RESULT("int8")
"Examples\n--------\n"
">>> from quorvel.arith import add_q8\n"
">>> add_q8([50, 100, -100], [50, 30, -50])\n"
"array([ 100,  127, -128], dtype=int8)\n");

PyDoc_STRVAR(sub_q8_doc,
"sub_q8(a, b)\n--\n\n"
"Saturating Q8 subtraction: ``out[i] = sat8(a[i] - b[i])``.\n\n"
QV_PAIR_PARAMS("int8") QV_ARRAY_RESULT("int8")
"Examples\n--------\n"
">>> from quorvel.arith import sub_q8\n"
">>> sub_q8([50, 0, -128], [30, 0, 10])\n"
"array([  20,    0, -128], dtype=int8)\n");

PyDoc_STRVAR(mul_q8_doc,
"mul_q8(a, b)\n--\n\n"
"Rounding Q8 multiply (one sign bit, seven fraction bits):\n"
"``sat8((a[i]*b[i] + 64) >> 7)``.\n\n"
"Exact ties round toward plus infinity; -128 * -128 gives 127.\n\n"
QV_PAIR_PARAMS("int8") QV_ARRAY_RESULT("int8")
"Examples\n--------\n"
">>> from quorvel.arith import mul_q8\n"
">>> mul_q8([64, 64, -64, -128], [64, -64, 64, -128])\n"
"array([ 32, -32, -32, 127], dtype=int8)\n");

PyDoc_STRVAR(dot_q8_doc,
"dot_q8(a, b)\n--\n\n"
"Q8 inner product: the sum of a[i]*b[i] (Q14) wrapping modulo 2**32.\n\n"
"No saturation: the sum is a signed 32-bit two's-complement value. Covers\n"
"min(len(a), len(b)) pairs; an empty range gives 0.\n\n"
QV_PAIR_PARAMS("int8")
"Returns\n-------\nint\n    The signed 32-bit sum.\n\n"
"Examples\n--------\n"
">>> from quorvel.arith import dot_q8\n"
">>> dot_q8([10, 20, 30], [1, 2, 3])\n"
"140\n");

PyDoc_STRVAR(shl_q8_doc,
"shl_q8(a, n)\n--\n\n"
"Saturating Q8 left shift: ``sat8(a[i] * 2**n)``.\n\n"
"Counts of 8 and above give 127, -128 or 0 by the sign of a[i].\n\n"
QV_SHIFT_PARAMS("int8")
"Returns\n-------\nndarray\n    New one-dimensional int8 array.\n\n"
"Examples\n--------\n"
">>> from quorvel.arith import shl_q8\n"
">>> shl_q8([10, 50, 64], 1)\n"
"array([ 20, 100, 127], dtype=int8)\n");

PyDoc_STRVAR(shr_q8_doc,
"shr_q8(a, n)\n--\n\n"
"Rounding Q8 right shift: ``(a[i] + 2**(n-1)) >> n`` for n in 1..7.\n\n"
"Ties round toward plus infinity. Counts of 8 and above floor, giving 0 or\n"
"-1 by the sign of a[i].\n\n"
QV_SHIFT_PARAMS("int8")
"Returns\n-------\nndarray\n    New one-dimensional int8 array.\n\n"
"Examples\n--------\n"
">>> from quorvel.arith import shr_q8\n"
">>> shr_q8([10, 11, 12, -10], 2)\n"
"array([ 3,  3,  3, -2], dtype=int8)\n");

PyDoc_STRVAR(shl_i64_doc,
"shl_i64(a, n)\n--\n\n"
"64-bit left shift without saturation: ``a[i] << n``.\n\n"
"Bits shifted out are lost (the caller ensures no overflow), so the sign\n"
"may change. Counts of 63 and above give 0.\n\n"
QV_SHIFT_PARAMS("int64")
"Returns\n-------\nndarray\n    New one-dimensional int64 array.\n\n"
"Examples\n--------\n"
">>> from quorvel.arith import shl_i64\n"
">>> shl_i64([100, 200, -200], 3)\n"
"array([  800,  1600, -1600])\n");

PyDoc_STRVAR(shr_i64_doc,
"shr_i64(a, n)\n--\n\n"
"Rounding 64-bit right shift: ``a[i] / 2**n`` rounded half up, n in 1..62.\n\n"
"The quotient is correctly rounded for every a[i], including values near\n"
"the int64 limits. Counts of 63 and above floor, giving 0 or -1 by sign.\n"
"Use it to bring a ``dot_q15`` sum back to Q15 with n = 15.\n\n"
QV_SHIFT_PARAMS("int64")
"Returns\n-------\nndarray\n    New one-dimensional int64 array.\n\n"
"Examples\n--------\n"
">>> from quorvel.arith import dot_q15, shr_i64\n"
">>> shr_i64([dot_q15([16384, 16384], [16384, 16384])], 15)\n"
"array([16384])\n"
">>> shr_i64([-3, -1], 1)\n"
"array([-1,  0])\n");

// _bind_<name> for every kernel, and its method-table entry with <name>_doc.
#define QV_ARITH_BIND_(name, kind, T, operation) \
    PyObject *_bind_##name(PyObject *, PyObject *args, PyObject *kw) { return kind<T, name>(args, kw); }
QV_ARITH_KERNELS(QV_ARITH_BIND_)

#define QV_ARITH_METHOD_(name, ...) QV_KW_FUNCTION(name),
PyMethodDef arith_module_methods[] = {
    QV_ARITH_KERNELS(QV_ARITH_METHOD_)
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(arith_doc,
"Fixed-point accumulators: Q8 and Q15 scalar sums (AccQ8, AccQ15) with exact "
"integer arithmetic for bit-true pipelines.\n\n"
"Besides the accumulators the module offers fourteen elementwise kernels on\n"
"Q15 (int16), Q8 (int8) and int64 arrays, defined to the bit: saturating\n"
"add and subtract, round-half-up multiplies and right shifts, saturating left\n"
"shifts and exact inner products. Every kernel returns a new array (or an\n"
"int for the inner products); inputs of any shape are taken flat.\n\n"
"Examples\n--------\n"
">>> import numpy as np\n"
">>> from quorvel.arith import AccQ15, mul_q15\n"
">>> acc = AccQ15()\n"
">>> acc.madd(np.array([16384, 8192], dtype=np.int16), np.array([16384, 16384], dtype=np.int16))\n"
">>> acc.get()\n"
"402653184\n"
">>> mul_q15([16384], [16384])\n"
"array([8192], dtype=int16)\n");

PyModuleDef arith_module = {
    PyModuleDef_HEAD_INIT, "arith", arith_doc, -1, arith_module_methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_arith(void) {
    return qv::init_module(arith_module, {acc_q15_type(), acc_q8_type()}, qv::arith::active_isa());
}

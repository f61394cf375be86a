// Array arguments, result arrays and the `out=` buffer, checked once here so
// that no binding calls NumPy's conversion functions itself.
#pragma once

#include "common/pyref.h"
#include "common/python.h"

namespace qv {

// An array owned for the length of one call: C-contiguous, aligned, in native
// byte order and of the requested dtype. `size` is the product of all
// dimensions, so any shape is its flat C-order sequence and 0-d counts one.
struct Array {
    PyRef ref;
    npy_intp size = 0;

    PyArrayObject *arr() const { return reinterpret_cast<PyArrayObject *>(ref.get()); }
    template <class T>
    T *data() const {
        return static_cast<T *>(PyArray_DATA(arr()));
    }
};

// Converts `obj` to `typenum` under NumPy's own rules (no forced cast); an
// array that already qualifies is used without a copy. False: error set.
// Where NumPy would guess wrong, a TypeError says what is expected: complex64
// (AGC samples) from a real array, or with a cast named for complex128; an
// integer dtype from a sequence of non-integers, refused as its array is.
bool to_array(PyObject *obj, int typenum, Array &result);

// A fresh one-dimensional array of n elements, left uninitialised.
bool new_vector(int typenum, npy_intp n, Array &result);

// A fresh array of the shape of `like`, left uninitialised.
bool new_array_like(const Array &like, int typenum, Array &result);

// True when the bytes of the two arrays overlap.
bool shares_memory(const Array &a, const Array &b);

// Replaces `in` by a private copy (used when an output would overwrite input
// that is still to be read).
bool copy_array(Array &in);

// `out=` with the at-least rule: `out` must be a writeable, C-contiguous
// ndarray of exactly `typenum` (else TypeError `type_msg`) holding at least
// `need` elements (else ValueError "out has %zu elements, need >= %zu").
bool out_at_least(PyObject *out, int typenum, npy_intp need, const char *type_msg, Array &buf);

// A new one-dimensional array over the first n elements of `buf`, whose base
// is `buf`'s array.
PyObject *leading_view(const Array &buf, npy_intp n);

// The buffer a core writes for an exact-length `out=`: the caller's array
// itself, or a contiguous copy that finish_out() writes back into it. A copy
// that never reaches finish_out() (an error path) is discarded.
struct OutBuffer {
    Array buf;
    OutBuffer() = default;
    OutBuffer(const OutBuffer &) = delete;
    OutBuffer &operator=(const OutBuffer &) = delete;
    ~OutBuffer();
};

// `out=` with the exact rule: `out` must be a writeable ndarray of exactly
// `typenum` (else TypeError `type_msg`) of exactly n elements (else ValueError
// "out length %zd != input length %zd"). Any layout is accepted.
bool out_exact(PyObject *out, int typenum, npy_intp n, const char *type_msg, OutBuffer &buf);

// Writes a copy back into the caller's array; returns a new reference to `out`.
PyObject *finish_out(OutBuffer &buf, PyObject *out);

// True when `in` must be copied before a core writes `out`: the two share
// memory and are not exactly the same buffer (in-place processing).
bool must_copy_input(const Array &in, const Array &out);

}  // namespace qv

#include "common/arrays.h"

namespace qv {
namespace {

bool adopt(PyObject *converted, Array &result) {
    if (!converted) return false;
    result.ref = PyRef::steal(converted);
    result.size = PyArray_SIZE(result.arr());
    return true;
}

const char *first_byte(const Array &a) { return static_cast<const char *>(PyArray_DATA(a.arr())); }
const char *end_byte(const Array &a) { return first_byte(a) + PyArray_NBYTES(a.arr()); }

}  // namespace

bool to_array(PyObject *obj, int typenum, Array &result) {
    // Aligned as well as contiguous: the cores read elements through typed
    // pointers, so an unaligned buffer is copied rather than handed on.
    return adopt(PyArray_FromAny(obj, PyArray_DescrFromType(typenum), 0, 0,
                                 NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr),
                 result);
}

bool new_vector(int typenum, npy_intp n, Array &result) {
    return adopt(PyArray_EMPTY(1, &n, typenum, 0), result);
}

bool new_array_like(const Array &like, int typenum, Array &result) {
    return adopt(PyArray_EMPTY(PyArray_NDIM(like.arr()), PyArray_DIMS(like.arr()), typenum, 0), result);
}

bool shares_memory(const Array &a, const Array &b) {
    if (a.size == 0 || b.size == 0) return false;
    return first_byte(a) < end_byte(b) && first_byte(b) < end_byte(a);
}

bool copy_array(Array &in) {
    return adopt(PyArray_NewCopy(in.arr(), NPY_CORDER), in);
}

bool out_at_least(PyObject *out, int typenum, npy_intp need, const char *type_msg, Array &buf) {
    // A byte-swapped or unaligned array would be converted into a hidden copy
    // and the caller would never see the output, so those are refused too.
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(out);
    if (!PyArray_Check(out) || PyArray_TYPE(arr) != typenum || !PyArray_ISWRITEABLE(arr) ||
        !PyArray_IS_C_CONTIGUOUS(arr) || !PyArray_ISALIGNED(arr) ||
        !PyArray_ISNOTSWAPPED(arr)) {
        PyErr_SetString(PyExc_TypeError, type_msg);
        return false;
    }
    if (!adopt(PyArray_FromAny(out, PyArray_DescrFromType(typenum), 0, 0,
                               NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_WRITEABLE, nullptr),
               buf))
        return false;
    if (buf.size < need) {
        PyErr_Format(PyExc_ValueError, "out has %zu elements, need >= %zu", size_t(buf.size),
                     size_t(need));
        return false;
    }
    return true;
}

OutBuffer::~OutBuffer() {
    if (buf.ref && PyArray_FLAGS(buf.arr()) & NPY_ARRAY_WRITEBACKIFCOPY) PyArray_DiscardWritebackIfCopy(buf.arr());
}

bool out_exact(PyObject *out, int typenum, npy_intp n, const char *type_msg, OutBuffer &buf) {
    PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(out);
    if (!PyArray_Check(out) || PyArray_TYPE(arr) != typenum || !PyArray_ISWRITEABLE(arr)) {
        PyErr_SetString(PyExc_TypeError, type_msg);
        return false;
    }
    // A non-contiguous (or unaligned, or byte-swapped) `out` gets a working
    // copy whose samples finish_out() writes back, so they reach the caller.
    if (!adopt(PyArray_FromAny(out, PyArray_DescrFromType(typenum), 0, 0,
                               NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_WRITEABLE |
                                   NPY_ARRAY_WRITEBACKIFCOPY,
                               nullptr),
               buf.buf))
        return false;
    if (buf.buf.size != n) {
        PyErr_Format(PyExc_ValueError, "out length %zd != input length %zd", Py_ssize_t(buf.buf.size),
                     Py_ssize_t(n));
        return false;
    }
    return true;
}

PyObject *finish_out(OutBuffer &buf, PyObject *out) {
    if (PyArray_ResolveWritebackIfCopy(buf.buf.arr()) < 0) return nullptr;
    Py_INCREF(out);
    return out;
}

bool must_copy_input(const Array &in, const Array &out) {
    return shares_memory(in, out) && PyArray_DATA(in.arr()) != PyArray_DATA(out.arr());
}

PyObject *leading_view(const Array &buf, npy_intp n) {
    PyArray_Descr *descr = PyArray_DESCR(buf.arr());
    Py_INCREF(descr);
    PyRef view = PyRef::steal(PyArray_NewFromDescr(
        &PyArray_Type, descr, 1, &n, nullptr, PyArray_DATA(buf.arr()),
        PyArray_FLAGS(buf.arr()) & NPY_ARRAY_WRITEABLE, nullptr));
    if (!view) return nullptr;
    PyObject *base = buf.ref.get();
    Py_INCREF(base);
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject *>(view.get()), base) < 0) return nullptr;
    return view.release();
}

}  // namespace qv

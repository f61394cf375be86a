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

// Aligned as well as contiguous: the cores read elements through typed
// pointers, so an unaligned buffer is copied rather than handed on.
PyObject *convert(PyObject *obj, PyArray_Descr *descr) {
    return PyArray_FromAny(obj, descr, 0, 0, NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr);
}

bool is_real_kind(char kind) { return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f'; }

// The pending TypeError's message with `hint` after it, as a TypeError again.
void add_hint(const char *hint) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef said = PyRef::steal(value), kind = PyRef::steal(type), trace = PyRef::steal(tb);
    PyErr_Format(PyExc_TypeError, "%S; %s", said.get(), hint);
}

// Complex64 samples: NumPy's safe casts would take a real array as real
// samples (an (n, 2) block of interleaved I and Q as 2n of them), and its
// refusal of complex128 does not say what to do.
bool to_samples(PyObject *obj, Array &result) {
    if (PyArray_Check(obj)) {
        PyArray_Descr *have = PyArray_DESCR(reinterpret_cast<PyArrayObject *>(obj));
        if (is_real_kind(have->kind)) {
            PyErr_Format(PyExc_TypeError,
                         "expected complex64 samples, got a real %S array; interleaved I and Q values become "
                         "complex64 through quorvel.formats, e.g. sample_format('ci16').decode(x)",
                         reinterpret_cast<PyObject *>(have));
            return false;
        }
    }
    if (adopt(convert(obj, PyArray_DescrFromType(NPY_CFLOAT)), result)) return true;
    if (PyArray_Check(obj) && PyArray_DESCR(reinterpret_cast<PyArrayObject *>(obj))->kind == 'c' &&
        PyErr_ExceptionMatches(PyExc_TypeError))
        add_hint("complex64 samples are expected: x.astype(np.complex64)");
    return false;
}

// Integers: NumPy converts a sequence by value, so [1.9] would become 1 where
// an array of 1.9 is refused. A sequence whose values are not integers is
// refused the same way, by converting the array NumPy finds in it.
bool to_integers(PyObject *obj, int typenum, Array &result) {
    if (!PyArray_Check(obj) && !PyArray_IsScalar(obj, Generic)) {
        PyRef found = PyRef::steal(PyArray_FromAny(obj, nullptr, 0, 0, 0, nullptr));
        if (!found) return false;
        PyArrayObject *arr = reinterpret_cast<PyArrayObject *>(found.get());
        const char kind = PyArray_DESCR(arr)->kind;  // float64 for an empty sequence too, which holds no fraction
        if ((kind == 'f' || kind == 'c') && PyArray_SIZE(arr) > 0)
            return adopt(convert(found.get(), PyArray_DescrFromType(typenum)), result);
    }
    return adopt(convert(obj, PyArray_DescrFromType(typenum)), result);
}

}  // namespace

bool to_array(PyObject *obj, int typenum, Array &result) {
    if (typenum == NPY_CFLOAT) return to_samples(obj, result);
    if (PyTypeNum_ISINTEGER(typenum)) return to_integers(obj, typenum, result);
    return adopt(convert(obj, PyArray_DescrFromType(typenum)), result);
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

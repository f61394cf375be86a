// One owner for a PyObject reference: every conversion result goes straight
// into a PyRef, so each error path is a plain `return nullptr`.
#pragma once

#include "common/python.h"

namespace qv {

class PyRef {
public:
    PyRef() = default;
    static PyRef steal(PyObject *p) { return PyRef(p); }
    static PyRef borrow(PyObject *p) {
        Py_XINCREF(p);
        return PyRef(p);
    }

    PyRef(PyRef &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    PyRef &operator=(PyRef &&o) noexcept {
        PyObject *old = p_;
        p_ = o.p_;
        o.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    ~PyRef() { Py_XDECREF(p_); }

    PyObject *get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller (a slot's return value).
    PyObject *release() {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }

private:
    explicit PyRef(PyObject *p) : p_(p) {}
    PyObject *p_ = nullptr;
};

}  // namespace qv

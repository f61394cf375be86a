#define QV_DEFINE_NUMPY_API
#include "common/module.h"

#include <cstring>

#include "common/cpu_isa.h"
#include "common/pyref.h"

namespace qv {
namespace {

// NumPy's array-API import; any failure surfaces as ImportError, with the
// original exception kept as its cause.
bool import_numpy() {
    if (_import_array() >= 0) return true;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (type && PyErr_GivenExceptionMatches(type, PyExc_ImportError)) {
        PyErr_Restore(type, value, tb);
        return false;
    }
    PyRef cause = PyRef::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_SetString(PyExc_ImportError, "quorvel needs NumPy's C API (feature version 13 or later)");
    if (cause) {
        PyObject *t, *v, *b;
        PyErr_Fetch(&t, &v, &b);
        PyErr_NormalizeException(&t, &v, &b);
        PyException_SetCause(v, cause.release());
        PyErr_Restore(t, v, b);
    }
    return false;
}

const char *short_name(const PyTypeObject *type) {
    const char *dot = std::strrchr(type->tp_name, '.');
    return dot ? dot + 1 : type->tp_name;
}

bool add_isa_report(PyObject *module, const char *isa) {
    if (PyModule_AddStringConstant(module, "_isa", isa) < 0) return false;
    PyRef reference_only = PyRef::borrow(kReferenceOnly ? Py_True : Py_False);
    if (PyModule_AddObject(module, "_reference_only", reference_only.get()) < 0) return false;
    reference_only.release();  // the module holds it now
    return true;
}

}  // namespace

PyObject *init_module(PyModuleDef &def, std::initializer_list<PyTypeObject *> types, const char *isa) {
    if (!import_numpy()) return nullptr;
    for (PyTypeObject *type : types)
        if (PyType_Ready(type) < 0) return nullptr;
    PyRef module = PyRef::steal(PyModule_Create2(&def, PYTHON_API_VERSION));
    if (!module) return nullptr;
    for (PyTypeObject *type : types) {
        Py_INCREF(type);
        if (PyModule_AddObject(module.get(), short_name(type), reinterpret_cast<PyObject *>(type)) < 0) {
            Py_DECREF(type);
            return nullptr;
        }
    }
    if (isa && !add_isa_report(module.get(), isa)) return nullptr;
    return module.release();
}

}  // namespace qv

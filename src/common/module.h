// Module initialisation shared by the four extension modules.
#pragma once

#include <initializer_list>

#include "common/python.h"

// Method-table entry of a module function `_bind_<name>` (positional or
// keyword arguments) documented by `<name>_doc`.
#define QV_KW_FUNCTION(name) \
    {#name, ::qv::with_keywords(_bind_##name), METH_VARARGS | METH_KEYWORDS, name##_doc}

namespace qv {

inline PyCFunction with_keywords(PyCFunctionWithKeywords f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Imports NumPy's C API (ImportError on failure), readies `types` in order,
// creates the module from `def` and adds each type under its short name.
// A module whose core chose a variant at load passes the set it runs
// (active_isa()): the module tells Python as `_isa`, and whether this build
// runs every core's reference as `_reference_only`.
PyObject *init_module(PyModuleDef &def, std::initializer_list<PyTypeObject *> types, const char *isa = nullptr);

}  // namespace qv

// The interpreter and NumPy headers, included the same way everywhere.
// Each extension module keeps its own private pointer to NumPy's C-API table
// (the symbol is hidden, so modules never share it); common/module.cpp defines it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Oldest NumPy C-API feature level the modules need (13, NumPy 1.19).
#define NPY_TARGET_VERSION 0x0000000d
#define NPY_NO_DEPRECATED_API 0x0000000d
#define PY_ARRAY_UNIQUE_SYMBOL quorvel_ARRAY_API
#ifndef QV_DEFINE_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

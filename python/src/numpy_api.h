// NumPy's C API for the binding layer.  Every translation unit that uses it
// includes this header; frame.cpp owns the API table and fills it at import.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL KWIVEL_ARRAY_API
#ifndef KWIVEL_OWNS_ARRAY_API
#define NO_IMPORT_ARRAY
#endif
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#include <numpy/arrayobject.h>
#pragma GCC diagnostic pop

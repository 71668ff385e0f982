// The Python class IncrementalReducer: a handle on one IncrementalReducer of the optimizer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zembric::python {

// A new IncrementalReducer type for `module`. New reference, or nullptr with an error set.
PyTypeObject* create_incremental_reducer_type(PyObject* module);

}  // namespace zembric::python

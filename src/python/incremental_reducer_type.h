// The Python class IncrementalReducer: a handle on one IncrementalReducer of the optimizer.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zembric::python {

// Creates the type on the first call and returns it (borrowed; it lives as long as the process),
// or nullptr with an error set.
PyObject* incremental_reducer_type();

}  // namespace zembric::python

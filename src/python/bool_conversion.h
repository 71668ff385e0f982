// Python bool -> C++ bool for flags such as `maximal_fusion`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zembric::python {

// Omitted (nullptr) or None gives `fallback`. Accepts a bool and NumPy's bool scalar (its exact
// type, through its truth value); anything else, int and look-alikes of NumPy's bool included, is a
// TypeError with the argument prefix for `name`.
bool convert_bool_argument(PyObject* object, const char* name, bool fallback, bool& out);

}  // namespace zembric::python

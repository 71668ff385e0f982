// Entries of PyMethodDef tables: the C API stores every calling convention as PyCFunction.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zembric::python {

using FastcallKeywordsFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Through void(*)() so that the compiler accepts the deliberate function-type cast.
inline PyCFunction as_pycfunction(FastcallKeywordsFunction function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}
inline PyCFunction as_pycfunction(PyCFunction function) {
  return function;
}

}  // namespace zembric::python

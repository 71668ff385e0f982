#include "python/bool_conversion.h"

#include <cstring>

namespace zembric::python {

namespace {

// NumPy's bool scalar, recognised by its type name so that the module need not import NumPy.
// NumPy 2 names it "numpy.bool", NumPy 1 "numpy.bool_".
bool is_numpy_bool(PyObject* object) {
  const char* name = Py_TYPE(object)->tp_name;
  return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

}  // namespace

bool convert_bool_argument(PyObject* object, const char* name, bool fallback, bool& out) {
  if (object == nullptr || object == Py_None) {
    out = fallback;
    return true;
  }
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': expected bool, got %.200s", name,
               Py_TYPE(object)->tp_name);
  return false;
}

}  // namespace zembric::python

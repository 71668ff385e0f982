#include "python/bool_conversion.h"

#include "python/python_ref.h"

namespace zembric::python {

namespace {

// Whether `object` is NumPy's bool scalar: 1 if so, 0 if not, -1 with a Python error set when the
// lookup failed. The type is taken from the numpy module already in sys.modules on every call:
// the module never imports NumPy (a NumPy bool cannot exist before NumPy is loaded), and nothing
// held here can outlive a reload of it. `bool_` names the scalar type in NumPy 1 and 2 alike.
int is_numpy_bool(PyObject* object) {
  const OwnedRef module_name(PyUnicode_InternFromString("numpy"));
  if (!module_name) return -1;
  const OwnedRef numpy(PyImport_GetModule(module_name.get()));
  if (!numpy) return PyErr_Occurred() != nullptr ? -1 : 0;
  const OwnedRef bool_type(PyObject_GetAttrString(numpy.get(), "bool_"));
  if (!bool_type) {
    // Something else under NumPy's name (None blocking the import, a stand-in) made no NumPy bool.
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  return reinterpret_cast<PyObject*>(Py_TYPE(object)) == bool_type.get() ? 1 : 0;
}

}  // namespace

[[gnu::hot]] bool convert_bool_argument(PyObject* object, const char* name, bool fallback,
                                        bool& out) {
  if (object == nullptr || object == Py_None) {
    out = fallback;
    return true;
  }
  if (PyBool_Check(object)) {
    out = object == Py_True;
    return true;
  }
  const int numpy_bool = is_numpy_bool(object);
  if (numpy_bool < 0) return false;
  if (numpy_bool > 0) {
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

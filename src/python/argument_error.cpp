#include "python/argument_error.h"

#include "python/python_ref.h"

namespace zembric::python {

void prefix_argument_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  OwnedRef type(raw_type);
  OwnedRef value(raw_value);
  OwnedRef traceback(raw_traceback);

  // Should building the new error fail, that failure is the error the caller sees.
  OwnedRef message(PyObject_Str(value.get()));
  if (!message) return;
  OwnedRef prefixed(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  if (!prefixed) return;
  OwnedRef error(PyObject_CallOneArg(PyExc_TypeError, prefixed.get()));
  if (!error) return;
  if (PyObject* cause = PyException_GetCause(value.get())) {
    PyException_SetCause(error.get(), cause);  // steals the new reference
  }
  PyErr_SetObject(PyExc_TypeError, error.get());
}

}  // namespace zembric::python

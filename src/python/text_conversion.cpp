#include "python/text_conversion.h"

namespace zembric::python {

namespace {

bool check_text_argument(PyObject* object, const char* name) {
  if (PyUnicode_Check(object)) return true;
  PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %.200s", name,
               Py_TYPE(object)->tp_name);
  return false;
}

}  // namespace

bool view_utf8(PyObject* text, std::string_view& out) {
  Py_ssize_t size = 0;
  // CPython caches the encoding in the str object, so repeated names are encoded once.
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return false;
  out = std::string_view(utf8, static_cast<std::size_t>(size));
  return true;
}

bool copy_utf8(PyObject* text, std::string& out) {
  std::string_view view;
  if (!view_utf8(text, view)) return false;
  out.assign(view);
  return true;
}

bool convert_text_argument(PyObject* object, const char* name, std::string& out) {
  return check_text_argument(object, name) && copy_utf8(object, out);
}

bool convert_text_argument(PyObject* object, const char* name, std::string_view& out) {
  return check_text_argument(object, name) && view_utf8(object, out);
}

PyObject* str_from_utf8(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

}  // namespace zembric::python

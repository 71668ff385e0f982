#include "python/param_map_conversion.h"

#include <string>
#include <string_view>
#include <utility>

#include "python/error_translation.h"
#include "python/python_ref.h"
#include "python/text_conversion.h"

namespace zembric::python {

namespace {

// The first of Int, Float, Str that converts. The failed attempts' errors are discarded.
bool classify_value(PyObject* value, ParamMap::Builder& entries, std::string_view key) {
  // Exact builtins settle the class without the failed attempts and their discarded errors.
  if (PyFloat_CheckExact(value)) {
    entries.add(key, ParamValue::of_float(PyFloat_AS_DOUBLE(value)));
    return true;
  }
  if (!PyUnicode_CheckExact(value)) {
    int overflow = 0;
    const long long as_int = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0 && !(as_int == -1 && PyErr_Occurred())) {
      entries.add(key, ParamValue::of_int(as_int));
      return true;
    }
    PyErr_Clear();
    const double as_float = PyFloat_AsDouble(value);
    if (!(as_float == -1.0 && PyErr_Occurred())) {
      entries.add(key, ParamValue::of_float(as_float));
      return true;
    }
    PyErr_Clear();
  }
  if (PyUnicode_Check(value)) {
    std::string_view text;
    if (!view_utf8(value, text)) return false;
    entries.add(key, ParamValue::of_str(std::string(text)));
    return true;
  }
  PyErr_SetString(PyExc_TypeError, "param values must be int, float, bool, or str");
  return false;
}

// `key` and `value` are held by the caller, so the key's text stays valid while the value's
// conversion hooks run.
bool convert_entry(PyObject* key, PyObject* value, ParamMap::Builder& entries) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "param keys must be str, not %.200s", Py_TYPE(key)->tp_name);
    return false;
  }
  std::string_view key_text;
  if (!view_utf8(key, key_text)) return false;
  if (Py_IS_TYPE(value, &PyBool_Type)) {
    entries.add(key_text, ParamValue::of_bool(value == Py_True));
    return true;
  }
  return classify_value(value, entries, key_text);
}

}  // namespace

bool convert_params(const ModuleState& state, PyObject* object, ParamMap& out) {
  if (object == nullptr || object == Py_None) {
    out = ParamMap();
    return true;
  }
  if (!PyDict_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "params must be a dict or None");
    return false;
  }
  const Py_ssize_t size = PyDict_GET_SIZE(object);
  // The checks below keep the entries within the dict's size at entry.
  ParamMap::Builder entries(static_cast<std::size_t>(size));
  Py_ssize_t position = 0;
  Py_ssize_t remaining = size;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (true) {
    // A value's __index__ or __float__ may have changed the dict: its storage can no longer be
    // walked consistently.
    if (PyDict_GET_SIZE(object) != size) {
      raise_internal_error(state, "dictionary changed size during iteration");
      return false;
    }
    if (!PyDict_Next(object, &position, &key, &value)) break;
    if (--remaining < 0) {
      raise_internal_error(state, "dictionary keys changed during iteration");
      return false;
    }
    // Conversion hooks may drop the dict's references to the entry.
    const OwnedRef held_key = OwnedRef::from_borrowed(key);
    const OwnedRef held_value = OwnedRef::from_borrowed(value);
    if (!convert_entry(held_key.get(), held_value.get(), entries)) return false;
  }
  out = std::move(entries).finish();
  return true;
}

PyObject* params_to_python(const ParamMap& params) {
  OwnedRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : params) {
    OwnedRef py_value;
    switch (value.type()) {
      case ParamType::Int:
        py_value = OwnedRef(PyLong_FromLongLong(value.as_int()));
        break;
      case ParamType::Float:
        py_value = OwnedRef(PyFloat_FromDouble(value.as_float()));
        break;
      case ParamType::Bool:
        py_value = OwnedRef(PyBool_FromLong(value.as_bool()));
        break;
      case ParamType::Str:
        py_value = OwnedRef(str_from_utf8(value.as_str()));
        break;
    }
    if (!py_value) return nullptr;
    const OwnedRef py_key(str_from_utf8(key));
    if (!py_key || PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace zembric::python

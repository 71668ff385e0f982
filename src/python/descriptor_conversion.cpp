#include "python/descriptor_conversion.h"

#include <string>
#include <utility>

#include "python/payload_descriptor_type.h"
#include "python/python_ref.h"
#include "python/text_conversion.h"

namespace zembric::python {

namespace {

// The value under `key` as a new reference; an empty ref without an error when the key is absent.
OwnedRef lookup(PyObject* dict, PyObject* key) {
  // The dict's own storage, so a subclass's __missing__ or __getitem__ is not consulted. Taking a
  // reference at once: comparing keys may run Python code that changes the dict.
  return OwnedRef::from_borrowed(PyDict_GetItemWithError(dict, key));
}

// `field` is the field's name, the key it was found under.
bool field_text(PyObject* value, PyObject* field, std::string& out) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "descriptor field '%U' must be str, not %.200s", field,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  return copy_utf8(value, out);
}

// The field names are the module's interned strings: interning them per call would look each up
// in the interpreter's table of interned strings, which is large and cold in a framework's process.
bool convert_dict(const ViewStrings& strings, PyObject* dict, PayloadDescriptor& out) {
  PayloadDescriptor value;
  const OwnedRef reference = lookup(dict, strings.preprocessing_ref);
  if (!reference && PyErr_Occurred()) return false;
  if (reference && reference.get() != Py_None) {
    std::string text;
    if (!field_text(reference.get(), strings.preprocessing_ref, text)) return false;
    value.preprocessing_ref = std::move(text);
  }
  const std::pair<PyObject*, std::string*> fields[] = {
      {strings.kind, &value.kind},           {strings.content_hash, &value.content_hash},
      {strings.framework, &value.framework}, {strings.version, &value.version},
      {strings.io_schema, &value.io_schema},
  };
  for (const auto& [field, text] : fields) {
    const OwnedRef item = lookup(dict, field);
    if (!item) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "descriptor missing required field '%U'", field);
      }
      return false;
    }
    if (!field_text(item.get(), field, *text)) return false;
  }
  out = std::move(value);
  return true;
}

}  // namespace

bool convert_descriptor(const ModuleState& state, PyObject* object, PayloadDescriptor& out) {
  if (const PayloadDescriptor* descriptor = as_payload_descriptor(state, object)) {
    out = *descriptor;
    return true;
  }
  if (PyDict_Check(object)) return convert_dict(state.view_strings, object, out);
  PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
  return false;
}

}  // namespace zembric::python

#include "python/descriptor_conversion.h"

#include <string>
#include <utility>

#include "python/payload_descriptor_type.h"
#include "python/python_ref.h"
#include "python/text_conversion.h"

namespace zembric::python {

namespace {

// The field's value as a new reference; an empty ref without an error when the key is absent.
OwnedRef lookup(PyObject* dict, const char* field) {
  const OwnedRef key(PyUnicode_InternFromString(field));
  if (!key) return OwnedRef();
  // The dict's own storage, so a subclass's __missing__ or __getitem__ is not consulted. Taking a
  // reference at once: comparing keys may run Python code that changes the dict.
  return OwnedRef::from_borrowed(PyDict_GetItemWithError(dict, key.get()));
}

bool field_text(PyObject* value, const char* field, std::string& out) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "descriptor field '%s' must be str, not %.200s", field,
                 Py_TYPE(value)->tp_name);
    return false;
  }
  return copy_utf8(value, out);
}

bool convert_dict(PyObject* dict, PayloadDescriptor& out) {
  PayloadDescriptor value;
  const OwnedRef reference = lookup(dict, "preprocessing_ref");
  if (!reference && PyErr_Occurred()) return false;
  if (reference && reference.get() != Py_None) {
    std::string text;
    if (!field_text(reference.get(), "preprocessing_ref", text)) return false;
    value.preprocessing_ref = std::move(text);
  }
  const std::pair<const char*, std::string*> fields[] = {
      {"kind", &value.kind},           {"content_hash", &value.content_hash},
      {"framework", &value.framework}, {"version", &value.version},
      {"io_schema", &value.io_schema},
  };
  for (const auto& [field, text] : fields) {
    const OwnedRef item = lookup(dict, field);
    if (!item) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "descriptor missing required field '%s'", field);
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
  if (PyDict_Check(object)) return convert_dict(object, out);
  PyErr_SetString(PyExc_TypeError, "descriptor must be a PayloadDescriptor or dict");
  return false;
}

}  // namespace zembric::python

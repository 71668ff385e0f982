#include "python/id_list_conversion.h"

#include "python/argument_error.h"
#include "python/python_ref.h"

namespace zembric::python {

namespace {

// Anything but an exact int, kept out of line so that the common case stays small.
[[gnu::noinline]] bool convert_index(PyObject* item, NodeId& out) {
  // __index__ may run arbitrary code that drops the sequence's reference to the item.
  const OwnedRef held = OwnedRef::from_borrowed(item);
  const OwnedRef index(PyNumber_Index(held.get()));
  if (!index) return false;
  out = PyLong_AsUnsignedLongLong(index.get());
  return !(out == static_cast<NodeId>(-1) && PyErr_Occurred());
}

inline bool convert_id(PyObject* item, NodeId& out) {
  if (PyLong_CheckExact(item)) {
    // No Python code runs here, so the borrowed item cannot go away.
    out = PyLong_AsUnsignedLongLong(item);
    return !(out == static_cast<NodeId>(-1) && PyErr_Occurred());
  }
  return convert_index(item, out);
}

template <class IdList>
[[gnu::hot]] bool convert_items(PyObject* sequence, IdList& out) {
  // PySequence_Fast_GET_SIZE is read on every step: an element's __index__ may shrink a list.
  out.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(sequence)));
  for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(sequence); ++i) {
    NodeId id = 0;
    if (!convert_id(PySequence_Fast_GET_ITEM(sequence, i), id)) return false;
    out.push_back(id);
  }
  return true;
}

template <class IdList>
bool convert_any(PyObject* object, IdList& out) {
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) return convert_items(object, out);
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not a sequence", Py_TYPE(object)->tp_name);
    return false;
  }
  // A list of the elements for ranges, bytes and other sequences; lists and tuples come back as
  // they are.
  const OwnedRef items(PySequence_Fast(object, "expected a sequence of node ids"));
  if (!items) return false;
  return convert_items(items.get(), out);
}

template <class IdList>
bool convert_into(PyObject* object, const char* name, IdList& out) {
  out.clear();
  if (convert_any(object, out)) return true;
  prefix_argument_error(name);
  return false;
}

}  // namespace

[[gnu::hot]] bool convert_id_list(PyObject* object, const char* name, std::vector<NodeId>& out) {
  return convert_into(object, name, out);
}

bool convert_id_list(PyObject* object, const char* name, InputList& out) {
  return convert_into(object, name, out);
}

PyObject* id_list_to_python(const std::vector<NodeId>& ids) {
  OwnedRef list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    PyObject* id = id_to_python(ids[i]);
    if (id == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
  }
  return list.release();
}

}  // namespace zembric::python

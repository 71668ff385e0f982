// Python sequences of node ids -> id lists (the `inputs` and `outputs=` arguments).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <vector>

#include "store/node.h"

namespace zembric::python {

// Accepts any sequence but str whose elements are ints (or have __index__) in the unsigned 64-bit
// range; order and repeats are kept. False with an error set: a TypeError carrying the prefix
// "argument '<name>': ", or CPython's OverflowError for a negative or too large id.
bool convert_id_list(PyObject* object, const char* name, std::vector<NodeId>& out);
// The same into a node's operand list: short lists convert without allocating.
bool convert_id_list(PyObject* object, const char* name, InputList& out);

// A new int. Ids that fit a long take CPython's direct path for small values, which the unsigned
// conversion lacks.
inline PyObject* id_to_python(NodeId id) {
  if (id <= static_cast<NodeId>(LONG_MAX)) return PyLong_FromLong(static_cast<long>(id));
  return PyLong_FromUnsignedLongLong(id);
}

// A new list of ints.
PyObject* id_list_to_python(const std::vector<NodeId>& ids);

}  // namespace zembric::python

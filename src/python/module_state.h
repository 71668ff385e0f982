// The state of one zembric_core module object: its classes, its internal-error exception and the
// interned strings of its views. Every module object (a fresh import, each sub-interpreter)
// has its own, so nothing the module makes is shared between interpreters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/view_strings.h"

namespace zembric::python {

// Zero-filled by CPython before the module executes; the module's m_clear releases every member.
struct ModuleState {
  PyTypeObject* graph_store_type;
  PyTypeObject* payload_descriptor_type;
  PyTypeObject* incremental_reducer_type;
  PyObject* internal_error;
  ViewStrings view_strings;
};

// The state of the module that defines `defining_class`, the class a METH_METHOD method is handed.
inline const ModuleState& state_of_defining_class(PyTypeObject* defining_class) {
  return *static_cast<const ModuleState*>(PyType_GetModuleState(defining_class));
}

// The same for code that is handed an instance's type rather than the defining class (slots,
// METH_NOARGS methods). nullptr with a TypeError set when `type` is none of the module's classes.
const ModuleState* state_of_class(PyTypeObject* type);

}  // namespace zembric::python

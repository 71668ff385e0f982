// The Python class PayloadDescriptor: an immutable value holding one PayloadDescriptor record.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/module_state.h"
#include "store/node.h"

namespace zembric::python {

// A new PayloadDescriptor type for `module`. New reference, or nullptr with an error set.
PyTypeObject* create_payload_descriptor_type(PyObject* module);

// The record of a PayloadDescriptor instance of `state`'s module, or nullptr when `object` is not
// one.
const PayloadDescriptor* as_payload_descriptor(const ModuleState& state, PyObject* object);

}  // namespace zembric::python

// The Python class PayloadDescriptor: an immutable value holding one PayloadDescriptor record.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "store/node.h"

namespace zembric::python {

// Creates the type on the first call and returns it (borrowed; it lives as long as the process),
// or nullptr with an error set.
PyObject* payload_descriptor_type();

// The record of a PayloadDescriptor instance, or nullptr when `object` is not one.
const PayloadDescriptor* as_payload_descriptor(PyObject* object);

}  // namespace zembric::python

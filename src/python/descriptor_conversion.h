// The `descriptor` argument of add_external -> PayloadDescriptor record.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/module_state.h"
#include "store/node.h"

namespace zembric::python {

// A PayloadDescriptor instance (of `state`'s module) is copied; a dict (or subclass) is read with
// the dict's own lookup, extra keys ignored. False with an error set: ValueError "descriptor
// missing required field
// '<name>'", a TypeError for a value that is not a str, or TypeError "descriptor must be a
// PayloadDescriptor or dict".
bool convert_descriptor(const ModuleState& state, PyObject* object, PayloadDescriptor& out);

}  // namespace zembric::python

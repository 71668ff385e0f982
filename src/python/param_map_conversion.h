// Python dict <-> ParamMap (the `params` argument and the "params" entries of the node view).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/module_state.h"
#include "store/param_map.h"

namespace zembric::python {

// None (or nullptr for an omitted argument) gives the empty map; a dict (or subclass) is read
// straight from its storage, each value classified as Bool (exactly bool), Int (fits a signed
// 64-bit integer, also through __index__), Float (through __float__) or Str, first match winning.
// False with an error set; the internal-error exception of `state`'s module when a conversion hook
// changed the dict.
bool convert_params(const ModuleState& state, PyObject* object, ParamMap& out);

// A new dict in map order: int, float, bool or str values.
PyObject* params_to_python(const ParamMap& params);

}  // namespace zembric::python

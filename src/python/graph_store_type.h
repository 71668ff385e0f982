// The Python class GraphStore: a handle on one StoreCore.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "python/module_state.h"
#include "store/store_core.h"

namespace zembric::python {

// A new GraphStore type for `module`. New reference, or nullptr with an error set.
PyTypeObject* create_graph_store_type(PyObject* module);

// A new GraphStore of `state`'s module that owns `core` (a deserialized or reduced store). New
// reference, or nullptr with an error set; `core` is released on failure.
PyObject* wrap_store(const ModuleState& state, std::unique_ptr<StoreCore> core);

// The store behind a GraphStore instance of `state`'s module, or nullptr when `object` is not one.
StoreCore* as_store(const ModuleState& state, PyObject* object);

}  // namespace zembric::python

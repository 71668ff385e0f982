// The Python class GraphStore: a handle on one StoreCore.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "store/store_core.h"

namespace zembric::python {

// Creates the type on the first call and returns it (borrowed; it lives as long as the process),
// or nullptr with an error set.
PyObject* graph_store_type();

// A new GraphStore that owns `core` (a deserialized or reduced store). New reference, or nullptr
// with an error set; `core` is released on failure.
PyObject* wrap_store(std::unique_ptr<StoreCore> core);

// The store behind a GraphStore instance, or nullptr when `object` is not one.
StoreCore* as_store(PyObject* object);

}  // namespace zembric::python

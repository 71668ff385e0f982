// The node view of GraphStore.nodes(): one plain dict per node, keys in a fixed order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/view_strings.h"
#include "store/store_core.h"

namespace zembric::python {

// A new list with one dict per node of `snapshot`, in id order. ValueError "unparseable stage
// member token <key>" when a Stage member's key cannot be read. Runs Python code (allocations may
// trigger the GC), so the caller must not hold the store lock.
PyObject* build_node_view(const ViewStrings& strings, const StoreSnapshot& snapshot);

}  // namespace zembric::python

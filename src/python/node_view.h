// The node view of GraphStore.nodes(): one plain dict per node, keys in a fixed order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "store/store_core.h"

namespace zembric::python {

// Interned strings shared by every view of one module: the dict keys and the recurring values.
struct ViewStrings {
  PyObject* id;
  PyObject* output;
  PyObject* inputs;
  PyObject* kind;
  PyObject* name;
  PyObject* params;
  PyObject* descriptor;
  PyObject* n_members;
  PyObject* members;
  PyObject* content_hash;
  PyObject* framework;
  PyObject* version;
  PyObject* io_schema;
  PyObject* preprocessing_ref;
  PyObject* input_token;
  PyObject* member_token;
  PyObject* empty;
  PyObject* kind_names[6];  // indexed by NodeKind
};

// Fills the empty `strings`; false with an error set, what was made staying for clear_view_strings.
bool make_view_strings(ViewStrings& strings);
void clear_view_strings(ViewStrings& strings) noexcept;

// A new list with one dict per node of `snapshot`, in id order. ValueError "unparseable stage
// member token <key>" when a Stage member's key cannot be read. Runs Python code (allocations may
// trigger the GC), so the caller must not hold the store lock.
PyObject* build_node_view(const ViewStrings& strings, const StoreSnapshot& snapshot);

}  // namespace zembric::python

// The map dictionary of reduce_with_map and finalize_with_map: where each root's value and each
// source node's value lie in the reduced store.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "optimizer/reduction_pipeline.h"
#include "python/module_state.h"

namespace zembric::python {

// A new dict with the keys "roots" (a list of reduced ids, one per root) and "nodes" (one entry
// per source node: None, or the tuple (reduced id, member position or None)), in that order.
PyObject* build_reduction_map_dict(const ViewStrings& strings, const ReductionMap& map);

// The 3-tuple (new GraphStore of `state`'s module wrapping `reduced.store`, report dict, map
// dict); `reduced` must carry its map.
PyObject* build_mapped_reduction_result(const ModuleState& state, ReducedStore reduced);

}  // namespace zembric::python

// The report dictionary of the reduction methods: the six counts of a ReductionReport by name.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "optimizer/reduction_pipeline.h"
#include "python/module_state.h"

namespace zembric::python {

// A new dict with exactly the keys "input_nodes", "reachable_nodes", "canonical_nodes", "stages",
// "reduced_nodes" and "boundary_nodes". Callers look values up by key; the order is not promised.
PyObject* build_report_dict(const ModuleState& state, const ReductionReport& report);

// The 2-tuple (new GraphStore of `state`'s module wrapping `reduced.store`, report dict).
PyObject* build_reduction_result(const ModuleState& state, ReducedStore reduced);

}  // namespace zembric::python

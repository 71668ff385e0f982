#include "python/report_view.h"

#include <cstdint>
#include <utility>

#include "python/graph_store_type.h"
#include "python/python_ref.h"

namespace zembric::python {

PyObject* build_report_dict(const ReductionReport& report) {
  const std::pair<const char*, std::uint64_t> counts[] = {
      {"input_nodes", report.input_nodes},         {"reachable_nodes", report.reachable_nodes},
      {"canonical_nodes", report.canonical_nodes}, {"stages", report.stages},
      {"reduced_nodes", report.reduced_nodes},     {"boundary_nodes", report.boundary_nodes},
  };
  OwnedRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, count] : counts) {
    const OwnedRef value(PyLong_FromUnsignedLongLong(count));
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* build_reduction_result(const ModuleState& state, ReducedStore reduced) {
  OwnedRef report(build_report_dict(reduced.report));
  if (!report) return nullptr;
  OwnedRef store(wrap_store(state, std::move(reduced.store)));
  if (!store) return nullptr;
  return PyTuple_Pack(2, store.get(), report.get());
}

}  // namespace zembric::python

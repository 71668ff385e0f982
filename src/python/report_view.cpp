#include "python/report_view.h"

#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>

#include "python/graph_store_type.h"
#include "python/python_ref.h"

namespace zembric::python {

[[gnu::hot]] PyObject* build_report_dict(const ModuleState& state, const ReductionReport& report) {
  // In the order of the module's report keys. Keying by those held strings spares a string made
  // and interned per key, and dropped again, on every call.
  const std::uint64_t counts[] = {report.input_nodes,     report.reachable_nodes,
                                  report.canonical_nodes, report.stages,
                                  report.reduced_nodes,   report.boundary_nodes};
  static_assert(std::size(counts) == std::extent_v<decltype(ViewStrings::report_keys)>);
  OwnedRef dict(PyDict_Copy(state.view_strings.report_template));
  if (!dict) return nullptr;
  for (std::size_t i = 0; i < std::size(counts); ++i) {
    const OwnedRef value(PyLong_FromUnsignedLongLong(counts[i]));
    if (!value || PyDict_SetItem(dict.get(), state.view_strings.report_keys[i], value.get()) < 0)
      return nullptr;
  }
  return dict.release();
}

[[gnu::hot]] PyObject* build_reduction_result(const ModuleState& state, ReducedStore reduced) {
  OwnedRef report(build_report_dict(state, reduced.report));
  if (!report) return nullptr;
  OwnedRef store(wrap_store(state, std::move(reduced.store)));
  if (!store) return nullptr;
  return PyTuple_Pack(2, store.get(), report.get());
}

}  // namespace zembric::python

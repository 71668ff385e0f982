// Built in one pass over the locations. Every needed node names a reduced node, and most reduced
// nodes are named by several (a Stage by its members, a merged node by its duplicates), so each
// reduced id's int, and its (id, None) tuple, is made once and shared: tuples are immutable.
// A tuple of ints and None can be part of no cycle, so each leaves the collector's lists at once,
// as the collector itself would drop it at its next pass: a map of a million entries would
// otherwise lengthen every full collection of the host by a million objects.
#include "python/reduction_map_view.h"

#include <vector>

#include "python/graph_store_type.h"
#include "python/id_list_conversion.h"
#include "python/python_ref.h"
#include "python/report_view.h"

namespace zembric::python {
namespace {

// The int and the (id, None) tuple of each reduced id, made on first use.
class SharedLocations {
 public:
  explicit SharedLocations(std::size_t reduced_nodes)
      : ids_(reduced_nodes), wholes_(reduced_nodes) {}

  // A new reference to the tuple for `location`, which must be needed.
  PyObject* tuple_for(const ValueLocation& location) {
    if (location.node >= ids_.size()) {
      PyErr_SetString(PyExc_SystemError, "a reduction map names no reduced node");
      return nullptr;
    }
    OwnedRef& id = ids_[location.node];
    if (!id && !(id = OwnedRef(id_to_python(location.node)))) return nullptr;
    if (location.member == ValueLocation::kWhole) {
      OwnedRef& whole = wholes_[location.node];
      if (!whole) {
        if (!(whole = OwnedRef(PyTuple_Pack(2, id.get(), Py_None)))) return nullptr;
        PyObject_GC_UnTrack(whole.get());
      }
      return OwnedRef::from_borrowed(whole.get()).release();
    }
    // Built in place rather than through PyTuple_Pack: a long chain fused into one Stage gives
    // every node a member tuple of its own.
    PyObject* member = PyLong_FromLong(static_cast<long>(location.member));
    if (member == nullptr) return nullptr;
    PyObject* tuple = PyTuple_New(2);
    if (tuple == nullptr) {
      OwnedRef discard(member);
      return nullptr;
    }
    PyTuple_SET_ITEM(tuple, 0, OwnedRef::from_borrowed(id.get()).release());
    PyTuple_SET_ITEM(tuple, 1, member);
    PyObject_GC_UnTrack(tuple);
    return tuple;
  }

 private:
  std::vector<OwnedRef> ids_;
  std::vector<OwnedRef> wholes_;
};

}  // namespace

PyObject* build_reduction_map_dict(const ViewStrings& strings, const ReductionMap& map) {
  OwnedRef roots(id_list_to_python(map.roots));
  if (!roots) return nullptr;
  std::uint32_t reduced_nodes = 0;
  for (const ValueLocation& location : map.nodes) {
    if (location.needed() && location.node >= reduced_nodes) reduced_nodes = location.node + 1;
  }
  SharedLocations shared(reduced_nodes);
  OwnedRef nodes(PyList_New(static_cast<Py_ssize_t>(map.nodes.size())));
  if (!nodes) return nullptr;
  for (std::size_t i = 0; i < map.nodes.size(); ++i) {
    const ValueLocation& location = map.nodes[i];
    PyObject* entry =
        location.needed() ? shared.tuple_for(location) : OwnedRef::from_borrowed(Py_None).release();
    if (entry == nullptr) return nullptr;
    PyList_SET_ITEM(nodes.get(), static_cast<Py_ssize_t>(i), entry);
  }
  OwnedRef dict(PyDict_New());
  if (!dict || PyDict_SetItem(dict.get(), strings.roots, roots.get()) < 0 ||
      PyDict_SetItem(dict.get(), strings.nodes, nodes.get()) < 0) {
    return nullptr;
  }
  return dict.release();
}

PyObject* build_mapped_reduction_result(const ModuleState& state, ReducedStore reduced) {
  if (!reduced.map) {
    PyErr_SetString(PyExc_SystemError, "a mapped reduction carries no map");
    return nullptr;
  }
  OwnedRef map(build_reduction_map_dict(state.view_strings, *reduced.map));
  if (!map) return nullptr;
  OwnedRef report(build_report_dict(state, reduced.report));
  if (!report) return nullptr;
  OwnedRef store(wrap_store(state, std::move(reduced.store)));
  if (!store) return nullptr;
  return PyTuple_Pack(3, store.get(), report.get(), map.get());
}

}  // namespace zembric::python

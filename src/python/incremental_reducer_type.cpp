#include "python/incremental_reducer_type.h"

#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "optimizer/incremental_reducer.h"
#include "python/argument_binder.h"
#include "python/bool_conversion.h"
#include "python/error_translation.h"
#include "python/final_type.h"
#include "python/graph_store_type.h"
#include "python/id_list_conversion.h"
#include "python/method_table.h"
#include "python/reduction_map_view.h"
#include "python/report_view.h"

namespace zembric::python {

namespace {

struct IncrementalReducerObject {
  PyObject ob_base;  // what PyObject_HEAD expands to
  std::unique_ptr<IncrementalReducer> reducer;
};

PyObject* g_type = nullptr;

IncrementalReducer& reducer_of(PyObject* self) {
  // The method descriptors have checked that `self` is an IncrementalReducer.
  return *reinterpret_cast<IncrementalReducerObject*>(self)->reducer;
}

PyObject* new_reducer(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Signature kSignature{"IncrementalReducer.__new__", {}, 0, 0};
  PyObject* unused[1];
  if (!bind_arguments(kSignature, args, kwargs, unused)) return nullptr;
  return guarded([&]() -> PyObject* {
    auto reducer = std::make_unique<IncrementalReducer>();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<IncrementalReducerObject*>(self)->reducer)
        std::unique_ptr<IncrementalReducer>(std::move(reducer));
    return self;
  });
}

void dealloc_reducer(PyObject* self) {
  using Reducer = std::unique_ptr<IncrementalReducer>;
  reinterpret_cast<IncrementalReducerObject*>(self)->reducer.~Reducer();
  free_heap_instance(self);
}

// The `store` argument: a GraphStore and nothing else.
StoreCore* convert_store_argument(PyObject* object) {
  StoreCore* store = as_store(object);
  if (store == nullptr) {
    PyErr_Format(PyExc_TypeError, "argument 'store': expected GraphStore, got %.200s",
                 Py_TYPE(object)->tp_name);
  }
  return store;
}

constexpr const char* kStoreOnly[] = {"store"};

PyObject* step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature kSignature{"IncrementalReducer.step", kStoreOnly, 1, 1};
  PyObject* bound[1];
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
  StoreCore* store = convert_store_argument(bound[0]);
  if (store == nullptr) return nullptr;
  return guarded([&]() -> PyObject* {
    const Expected<std::uint64_t, BadNodeId> consumed = reducer_of(self).step(*store);
    if (!consumed) {
      raise_bad_node_id(consumed.error().id);
      return nullptr;
    }
    return PyLong_FromUnsignedLongLong(consumed.value());
  });
}

PyObject* watermark(PyObject* self, PyObject*) {
  return guarded([&] { return PyLong_FromUnsignedLongLong(reducer_of(self).watermark()); });
}

PyObject* total_work(PyObject* self, PyObject*) {
  return guarded([&] { return PyLong_FromUnsignedLongLong(reducer_of(self).total_work()); });
}

PyObject* canonical_count(PyObject* self, PyObject*) {
  return guarded([&] { return PyLong_FromUnsignedLongLong(reducer_of(self).canonical_count()); });
}

// finalize and finalize_with_map: the same binding, conversions and reduction, with or without
// the map.
PyObject* run_finalize(const Signature& signature, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, bool with_map) {
  PyObject* bound[3];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  StoreCore* store = convert_store_argument(bound[0]);
  if (store == nullptr) return nullptr;
  return guarded([&]() -> PyObject* {
    bool maximal_fusion = false;
    if (!convert_bool_argument(bound[1], "maximal_fusion", false, maximal_fusion)) return nullptr;
    std::optional<std::vector<NodeId>> outputs;
    if (bound[2] != nullptr && bound[2] != Py_None) {
      outputs.emplace();
      if (!convert_id_list(bound[2], "outputs", *outputs)) return nullptr;
    }
    Expected<ReducedStore, BadNodeId> reduced =
        reducer_of(self).finalize(*store, outputs, maximal_fusion, with_map);
    if (!reduced) {
      raise_bad_node_id(reduced.error().id);
      return nullptr;
    }
    if (with_map) return build_mapped_reduction_result(std::move(reduced).value());
    return build_reduction_result(std::move(reduced).value());
  });
}

constexpr const char* kFinalizeNames[] = {"store", "maximal_fusion", "outputs"};

PyObject* finalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature kSignature{"IncrementalReducer.finalize", kFinalizeNames, 1, 1};
  return run_finalize(kSignature, self, args, nargs, kwnames, false);
}

PyObject* finalize_with_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static constexpr Signature kSignature{"IncrementalReducer.finalize_with_map", kFinalizeNames, 1,
                                        1};
  return run_finalize(kSignature, self, args, nargs, kwnames, true);
}

constexpr const char kStepDoc[] =
    "step($self, store)\n--\n\n"
    "Consume the nodes recorded in `store` since the last step. Returns how many were processed\n"
    "(the delta size). The reducer must always be fed the same store.";

constexpr const char kFinalizeDoc[] =
    "finalize($self, store, *, maximal_fusion=False, outputs=None)\n--\n\n"
    "Finish by consuming any remaining delta, then reduce the maintained canonical form against "
    "the store's marked outputs or, with outputs=, against EXACTLY that set (the stored marks are "
    "ignored). Returns the reduced store and report exactly like GraphStore.reduce.";

constexpr const char kFinalizeWithMapDoc[] =
    "finalize_with_map($self, store, *, maximal_fusion=False, outputs=None)\n--\n\n"
    "The reduction of finalize() with the same arguments, store and report, plus the map of "
    "GraphStore.reduce_with_map over the ids of `store`, whatever steps fed the reducer: returns "
    "(store, report, map).";

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"step", as_pycfunction(step), kFastcall, kStepDoc},
    {"watermark", watermark, METH_NOARGS,
     "watermark($self)\n--\n\nHow many of the store's nodes have been consumed so far."},
    {"total_work", total_work, METH_NOARGS,
     "total_work($self)\n--\n\n"
     "Cumulative nodes processed across all steps (== watermark: each node touched once)."},
    {"canonical_count", canonical_count, METH_NOARGS,
     "canonical_count($self)\n--\n\nSize of the maintained canonical form."},
    {"finalize", as_pycfunction(finalize), kFastcall, kFinalizeDoc},
    {"finalize_with_map", as_pycfunction(finalize_with_map), kFastcall, kFinalizeWithMapDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] =
    "IncrementalReducer()\n--\n\n"
    "A reducer fed a store while the graph is being built. Each step canonicalizes only the "
    "nodes recorded since the last step (identity elimination, commutativity dedup, "
    "hash-consing: the same sound rules the SaturationEngine runs), so a concise canonical form "
    "exists while building and finalize does one linear pass instead of a whole-history "
    "optimization. total_work() counts the nodes processed over all steps and equals the store's "
    "node count however many steps fed it.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_reducer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_reducer)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "zembric_core.IncrementalReducer",
    sizeof(IncrementalReducerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* incremental_reducer_type() {
  if (g_type == nullptr) g_type = create_final_type(&kSpec);
  return g_type;
}

}  // namespace zembric::python

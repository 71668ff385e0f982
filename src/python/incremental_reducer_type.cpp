#include "python/incremental_reducer_type.h"

#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "optimizer/incremental_reducer.h"
#include "python/argument_binder.h"
#include "python/bool_conversion.h"
#include "python/callable_declaration.h"
#include "python/error_translation.h"
#include "python/final_type.h"
#include "python/graph_store_type.h"
#include "python/id_list_conversion.h"
#include "python/interpreter_lock.h"
#include "python/method_table.h"
#include "python/reduction_map_view.h"
#include "python/report_view.h"

namespace zembric::python {

namespace {

struct IncrementalReducerObject {
  PyObject ob_base;  // what PyObject_HEAD expands to
  std::unique_ptr<IncrementalReducer> reducer;
};

IncrementalReducer& reducer_of(PyObject* self) {
  // The method descriptors have checked that `self` is an IncrementalReducer.
  return *reinterpret_cast<IncrementalReducerObject*>(self)->reducer;
}

constexpr CallableDeclaration kNew = constructor(
    "IncrementalReducer", {}, 0,
    "A reducer fed a store while the graph is being built. Each step canonicalizes only the "
    "nodes recorded since the last step (identity elimination, commutativity dedup, "
    "hash-consing: the same sound rules the SaturationEngine runs), so a concise canonical form "
    "exists while building and finalize does one linear pass instead of a whole-history "
    "optimization. total_work() counts the nodes processed over all steps and equals the store's "
    "node count however many steps fed it.");

PyObject* new_reducer(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  BoundArguments<kNew> unused;
  if (!bind_arguments(kSignature<kNew>, args, kwargs, unused.data())) return nullptr;
  const ModuleState* state = state_of_class(type);
  if (state == nullptr) return nullptr;
  return guarded(*state, [&]() -> PyObject* {
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

// The `store` argument: a GraphStore of the same module and nothing else.
StoreCore* convert_store_argument(const ModuleState& state, PyObject* object) {
  StoreCore* store = as_store(state, object);
  if (store == nullptr) {
    PyErr_Format(PyExc_TypeError, "argument 'store': expected GraphStore, got %.200s",
                 Py_TYPE(object)->tp_name);
  }
  return store;
}

constexpr Parameter kStoreParameters[] = {{"store"}};

constexpr CallableDeclaration kStep = method(
    "IncrementalReducer", "step", kStoreParameters, 1,
    "Consume the nodes recorded in `store` since the last step. Returns how many were processed\n"
    "(the delta size). The reducer must always be fed the same store.");

PyObject* step(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
               std::size_t nargs, PyObject* kwnames) {
  BoundArguments<kStep> bound;
  if (!bind_arguments(kSignature<kStep>, args, nargs, kwnames, bound.data())) return nullptr;
  const ModuleState& state = state_of_defining_class(defining_class);
  StoreCore* store = convert_store_argument(state, bound[0]);
  if (store == nullptr) return nullptr;
  return guarded(state, [&]() -> PyObject* {
    IncrementalReducer& reducer = reducer_of(self);
    // A short step keeps the interpreter lock; a long one, or one whose reducer is busy, waits
    // and works without it.
    std::optional<Expected<std::uint64_t, BadNodeId>> short_step =
        reducer.step_if_short(*store, kUnlockedFromNodes);
    const Expected<std::uint64_t, BadNodeId> consumed =
        short_step ? std::move(*short_step)
                   : without_interpreter_lock([&] { return reducer.step(*store); });
    if (!consumed) {
      raise_bad_node_id(consumed.error().id);
      return nullptr;
    }
    return PyLong_FromUnsignedLongLong(consumed.value());
  });
}

constexpr CallableDeclaration kWatermark =
    method("IncrementalReducer", "watermark", {}, 0,
           "How many of the store's nodes have been consumed so far.");
constexpr CallableDeclaration kTotalWork =
    method("IncrementalReducer", "total_work", {}, 0,
           "Cumulative nodes processed across all steps (== watermark: each node touched once).");
constexpr CallableDeclaration kCanonicalCount = method("IncrementalReducer", "canonical_count", {},
                                                       0, "Size of the maintained canonical form.");

// watermark, total_work and canonical_count.
template <auto Count>
PyObject* count(PyObject* self, PyTypeObject* defining_class) {
  return guarded(state_of_defining_class(defining_class),
                 [&] { return PyLong_FromUnsignedLongLong((reducer_of(self).*Count)()); });
}

constexpr Parameter kFinalizeParameters[] = {
    {"store"}, {"maximal_fusion", "False"}, {"outputs", "None"}};

constexpr CallableDeclaration kFinalize = method(
    "IncrementalReducer", "finalize", kFinalizeParameters, 1,
    "Finish by consuming any remaining delta, then reduce the maintained canonical form against "
    "the store's marked outputs or, with outputs=, against EXACTLY that set (the stored marks are "
    "ignored). Returns the reduced store and report exactly like GraphStore.reduce.");
constexpr CallableDeclaration kFinalizeWithMap = method(
    "IncrementalReducer", "finalize_with_map", kFinalizeParameters, 1,
    "The reduction of finalize() with the same arguments, store and report, plus the map of "
    "GraphStore.reduce_with_map over the ids of `store`, whatever steps fed the reducer: returns "
    "(store, report, map).");

// finalize and finalize_with_map: the same binding, conversions and reduction, with or without
// the map.
template <const CallableDeclaration& Callable, bool WithMap>
PyObject* finalize(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                   std::size_t nargs, PyObject* kwnames) {
  BoundArguments<Callable> bound;
  if (!bind_arguments(kSignature<Callable>, args, nargs, kwnames, bound.data())) return nullptr;
  const ModuleState& state = state_of_defining_class(defining_class);
  StoreCore* store = convert_store_argument(state, bound[0]);
  if (store == nullptr) return nullptr;
  return guarded(state, [&]() -> PyObject* {
    bool maximal_fusion = false;
    if (!convert_bool_argument(bound[1], "maximal_fusion", false, maximal_fusion)) return nullptr;
    std::optional<std::vector<NodeId>> outputs;
    if (bound[2] != nullptr && bound[2] != Py_None) {
      outputs.emplace();
      if (!convert_id_list(bound[2], "outputs", *outputs)) return nullptr;
    }
    IncrementalReducer& reducer = reducer_of(self);
    std::optional<Expected<ReducedStore, BadNodeId>> short_finalize =
        reducer.finalize_if_short(*store, outputs, maximal_fusion, WithMap, kUnlockedFromNodes);
    Expected<ReducedStore, BadNodeId> reduced =
        short_finalize ? std::move(*short_finalize) : without_interpreter_lock([&] {
          return reducer.finalize(*store, outputs, maximal_fusion, WithMap);
        });
    if (!reduced) {
      raise_bad_node_id(reduced.error().id);
      return nullptr;
    }
    if (WithMap) return build_mapped_reduction_result(state, std::move(reduced).value());
    return build_reduction_result(state, std::move(reduced).value());
  });
}

PyMethodDef kMethods[] = {
    method_entry<kStep, step>(),
    method_entry<kWatermark, count<&IncrementalReducer::watermark>>(),
    method_entry<kTotalWork, count<&IncrementalReducer::total_work>>(),
    method_entry<kCanonicalCount, count<&IncrementalReducer::canonical_count>>(),
    method_entry<kFinalize, finalize<kFinalize, false>>(),
    method_entry<kFinalizeWithMap, finalize<kFinalizeWithMap, true>>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_reducer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_reducer)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kDocstring<kNew>.data())},
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

PyTypeObject* create_incremental_reducer_type(PyObject* module) {
  return create_final_type(module, &kSpec);
}

}  // namespace zembric::python

#include "python/graph_store_type.h"

#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "optimizer/reduction_pipeline.h"
#include "optimizer/saturation_engine.h"
#include "python/argument_binder.h"
#include "python/bool_conversion.h"
#include "python/callable_declaration.h"
#include "python/descriptor_conversion.h"
#include "python/error_translation.h"
#include "python/final_type.h"
#include "python/id_list_conversion.h"
#include "python/interpreter_lock.h"
#include "python/method_table.h"
#include "python/node_view.h"
#include "python/param_map_conversion.h"
#include "python/python_ref.h"
#include "python/reduction_map_view.h"
#include "python/report_view.h"
#include "python/text_conversion.h"
#include "store/blob_reader.h"
#include "store/blob_writer.h"
#include "store/dot_renderer.h"

namespace zembric::python {

namespace {

struct GraphStoreObject {
  PyObject ob_base;  // what PyObject_HEAD expands to
  std::unique_ptr<StoreCore> core;
};

StoreCore& core_of(PyObject* self) {
  // The method descriptors have checked that `self` is a GraphStore.
  return *reinterpret_cast<GraphStoreObject*>(self)->core;
}

PyObject* allocate(PyTypeObject* type, std::unique_ptr<StoreCore> core) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<GraphStoreObject*>(self)->core)
      std::unique_ptr<StoreCore>(std::move(core));
  return self;
}

constexpr CallableDeclaration kNew = constructor(
    "GraphStore", {}, 0,
    "A thread-safe interned graph store, immutable from Python, that keeps its contents behind a "
    "mutex (interior mutability) and so is safe to share across threads both under the "
    "interpreter lock and on free-threaded interpreters.");

PyObject* new_store(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  BoundArguments<kNew> unused;
  if (!bind_arguments(kSignature<kNew>, args, kwargs, unused.data())) return nullptr;
  const ModuleState* state = state_of_class(type);
  if (state == nullptr) return nullptr;
  return guarded(*state, [&] { return allocate(type, std::make_unique<StoreCore>()); });
}

// Stores from this many nodes are freed with the interpreter lock released: freeing a reduction's
// result is then no serial step between threads that reduce in parallel.
constexpr std::uint64_t kFreedUnlockedFrom = 4096;

void dealloc_store(PyObject* self) {
  using Core = std::unique_ptr<StoreCore>;
  Core& slot = reinterpret_cast<GraphStoreObject*>(self)->core;
  Core core = std::move(slot);
  slot.~Core();
  // The store holds no Python object and, its last reference gone, nothing else can reach it.
  without_interpreter_lock_if(core && core->node_count_hint() >= kFreedUnlockedFrom, [&] {
    core.reset();
    return true;
  });
  free_heap_instance(self);
}

// Whether work over `store` takes long enough to release the interpreter lock for.
bool is_long(const StoreCore& store) {
  return store.node_count_hint() >= kUnlockedFromNodes;
}

// Interns a node built from converted arguments; "no node with id" for an input that names none.
PyObject* intern(PyObject* self, Node&& node) {
  const Expected<NodeId, BadNodeId> id = core_of(self).intern(std::move(node));
  if (!id) {
    raise_bad_node_id(id.error().id);
    return nullptr;
  }
  return id_to_python(id.value());
}

// --- Building methods. Every argument is converted before the store is touched. ---

constexpr Parameter kSourceParameters[] = {{"name"}, {"params", "None"}};
constexpr Parameter kNamedParameters[] = {{"name"}, {"inputs"}, {"params", "None"}};
constexpr Parameter kExternalParameters[] = {{"descriptor"}, {"inputs"}, {"params", "None"}};
constexpr Parameter kExchangeParameters[] = {{"inputs"}, {"params", "None"}};

constexpr CallableDeclaration kAddSource = method("GraphStore", "add_source", kSourceParameters, 2);
constexpr CallableDeclaration kAddOp = method("GraphStore", "add_op", kNamedParameters, 3);
constexpr CallableDeclaration kAddReduction =
    method("GraphStore", "add_reduction", kNamedParameters, 3);
constexpr CallableDeclaration kAddExternal =
    method("GraphStore", "add_external", kExternalParameters, 3);
constexpr CallableDeclaration kAddExchange = method(
    "GraphStore", "add_exchange", kExchangeParameters, 2,
    "Records an Exchange boundary. An Exchange has no name: its identity is its scheme ParamMap "
    "(params) plus its one logical input, and nodes()[i][\"kind\"] is \"exchange\" for it.");

PyObject* add_source(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                     std::size_t nargs, PyObject* kwnames) {
  BoundArguments<kAddSource> bound;
  if (!bind_arguments(kSignature<kAddSource>, args, nargs, kwnames, bound.data())) return nullptr;
  const ModuleState& state = state_of_defining_class(defining_class);
  return guarded(state, [&]() -> PyObject* {
    std::string_view name;
    ParamMap params;
    if (!convert_text_argument(bound[0], "name", name) ||
        !convert_params(state, bound[1], params)) {
      return nullptr;
    }
    const Expected<NodeId, BadNodeId> id =
        core_of(self).intern(Node::plain(NodeKind::Source, name, std::move(params), InputList()));
    if (!id) {
      raise_internal_error(state, "source has no inputs");
      return nullptr;
    }
    return id_to_python(id.value());
  });
}

// add_op and add_reduction: name, inputs, params. Short input lists and names convert without
// allocating, and the node takes the converted storage over.
template <NodeKind Kind, const CallableDeclaration& Callable>
PyObject* add_named(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                    std::size_t nargs, PyObject* kwnames) {
  BoundArguments<Callable> bound;
  if (!bind_arguments(kSignature<Callable>, args, nargs, kwnames, bound.data())) return nullptr;
  const ModuleState& state = state_of_defining_class(defining_class);
  return guarded(state, [&]() -> PyObject* {
    // A view of the str argument, which the caller holds for the whole call.
    std::string_view name;
    InputList inputs;
    ParamMap params;
    if (!convert_text_argument(bound[0], "name", name) ||
        !convert_id_list(bound[1], "inputs", inputs) || !convert_params(state, bound[2], params)) {
      return nullptr;
    }
    return intern(self, Node::plain(Kind, name, std::move(params), std::move(inputs)));
  });
}

PyObject* add_external(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                       std::size_t nargs, PyObject* kwnames) {
  BoundArguments<kAddExternal> bound;
  if (!bind_arguments(kSignature<kAddExternal>, args, nargs, kwnames, bound.data())) {
    return nullptr;
  }
  const ModuleState& state = state_of_defining_class(defining_class);
  return guarded(state, [&]() -> PyObject* {
    std::vector<NodeId> inputs;
    PayloadDescriptor descriptor;
    ParamMap params;
    // Inputs first: their error is the one reported when both are wrong.
    if (!convert_id_list(bound[1], "inputs", inputs) ||
        !convert_descriptor(state, bound[0], descriptor) ||
        !convert_params(state, bound[2], params)) {
      return nullptr;
    }
    return intern(self,
                  Node::external(std::move(descriptor), std::move(params), std::move(inputs)));
  });
}

PyObject* add_exchange(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                       std::size_t nargs, PyObject* kwnames) {
  BoundArguments<kAddExchange> bound;
  if (!bind_arguments(kSignature<kAddExchange>, args, nargs, kwnames, bound.data())) {
    return nullptr;
  }
  const ModuleState& state = state_of_defining_class(defining_class);
  return guarded(state, [&]() -> PyObject* {
    InputList inputs;
    ParamMap params;
    if (!convert_id_list(bound[0], "inputs", inputs) || !convert_params(state, bound[1], params)) {
      return nullptr;
    }
    return intern(self, Node::plain(NodeKind::Exchange, {}, std::move(params), std::move(inputs)));
  });
}

// --- Reading and export methods. ---

constexpr CallableDeclaration kNodeCount = method("GraphStore", "node_count");
constexpr CallableDeclaration kToDot = method("GraphStore", "to_dot");

PyObject* node_count(PyObject* self, PyTypeObject* defining_class) {
  const ModuleState& state = state_of_defining_class(defining_class);
  return guarded(state, [&] { return PyLong_FromUnsignedLongLong(core_of(self).node_count()); });
}

PyObject* to_dot(PyObject* self, PyTypeObject* defining_class) {
  const ModuleState& state = state_of_defining_class(defining_class);
  return guarded(state, [&] {
    StoreCore& store = core_of(self);
    const std::string text = without_interpreter_lock_if(is_long(store), [&] {
      return store.read([](std::span<const Node> nodes, std::span<const NodeId> outputs) {
        return render_dot(nodes, outputs);
      });
    });
    return str_from_utf8(text);
  });
}

constexpr Parameter kOptionalOutputs[] = {{"outputs", "None"}};
constexpr Parameter kDataParameters[] = {{"data"}};

constexpr CallableDeclaration kSerialize = method(
    "GraphStore", "serialize", kOptionalOutputs, 1,
    "Writes the IR in its canonical, versioned, byte-identical durable form, the canonical "
    "durable representation of the IR. With outputs= the bytes flag exactly that set and the "
    "stored marks are ignored (outputs are a property of the compile request); the default keeps "
    "the marks.");
constexpr CallableDeclaration kDeserialize = static_method(
    "GraphStore", "deserialize", kDataParameters, 1,
    "Rebuilds a store from canonical bytes. Reading back written bytes reproduces the same node "
    "ids, so serialize() of the result is byte-identical to the input.");
constexpr CallableDeclaration kNodes = method(
    "GraphStore", "nodes", {}, 0,
    "A structured, read-only view of every node in id order. Each entry is a dict with id, kind "
    "(source|op|reduction|external|stage), name, params, inputs, output (bool), plus a "
    "descriptor dict for external nodes and n_members for stage nodes.");
constexpr CallableDeclaration kOutputs =
    method("GraphStore", "outputs", {}, 0,
           "The marked output node ids, in mark order (what an IR evaluator returns, in order).");

PyObject* serialize(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                    std::size_t nargs, PyObject* kwnames) {
  BoundArguments<kSerialize> bound;
  if (!bind_arguments(kSignature<kSerialize>, args, nargs, kwnames, bound.data())) return nullptr;
  return guarded(state_of_defining_class(defining_class), [&]() -> PyObject* {
    StoreCore& store = core_of(self);
    const bool explicit_outputs = bound[0] != nullptr && bound[0] != Py_None;
    std::vector<NodeId> outputs;
    if (explicit_outputs) {
      if (!convert_id_list(bound[0], "outputs", outputs)) return nullptr;
      // Still valid when the blob is written under the next lock: a store only grows.
      const std::uint64_t count = store.node_count();
      for (NodeId id : outputs) {
        if (id >= count) {
          raise_bad_node_id(id);
          return nullptr;
        }
      }
    }
    // Two passes over the store's own lists, each under the store's lock with the interpreter
    // lock released: the size, then the bytes, written straight into the bytes object made in
    // between. A store only grows, so the first pass's nodes are unchanged in the second; the
    // marks it read are kept for the second, so later marks do not enter the blob.
    std::size_t node_count = 0;
    const bool long_work = is_long(store);
    const Expected<std::size_t, BlobTooLarge> size = without_interpreter_lock_if(long_work, [&] {
      return store.read([&](std::span<const Node> nodes, std::span<const NodeId> marks) {
        node_count = nodes.size();
        if (!explicit_outputs) outputs.assign(marks.begin(), marks.end());
        return blob_size(nodes, outputs);
      });
    });
    if (!size) {
      PyErr_SetString(PyExc_ValueError, size.error().message.c_str());
      return nullptr;
    }
    if (size.value() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    OwnedRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size.value())));
    if (!bytes) return nullptr;
    // Nothing else holds the new bytes object, so its buffer is written unlocked.
    auto* const begin = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get()));
    without_interpreter_lock_if(long_work, [&] {
      return store.read([&](std::span<const Node> nodes, std::span<const NodeId>) {
        write_blob_to(nodes.first(node_count), outputs, begin, size.value());
        return true;
      });
    });
    return bytes.release();
  });
}

// Static: no instance, `self` is nullptr.
PyObject* deserialize(PyObject*, PyTypeObject* defining_class, PyObject* const* args,
                      std::size_t nargs, PyObject* kwnames) {
  BoundArguments<kDeserialize> bound;
  if (!bind_arguments(kSignature<kDeserialize>, args, nargs, kwnames, bound.data())) {
    return nullptr;
  }
  PyObject* data = bound[0];
  if (!PyBytes_Check(data)) {
    PyErr_Format(PyExc_TypeError, "argument 'data': expected bytes, got %.200s",
                 Py_TYPE(data)->tp_name);
    return nullptr;
  }
  const ModuleState& state = state_of_defining_class(defining_class);
  return guarded(state, [&]() -> PyObject* {
    // Bytes are immutable and the call's argument keeps them alive: they are read unlocked.
    const std::string_view bytes(PyBytes_AS_STRING(data),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
    Expected<std::unique_ptr<StoreCore>, BlobDecodeError> store = without_interpreter_lock_if(
        bytes.size() >= kUnlockedFromBytes, [&] { return read_blob(bytes); });
    if (!store) {
      PyErr_SetString(PyExc_ValueError, store.error().message.c_str());
      return nullptr;
    }
    return wrap_store(state, std::move(store).value());
  });
}

PyObject* nodes(PyObject* self, PyTypeObject* defining_class) {
  const ModuleState& state = state_of_defining_class(defining_class);
  return guarded(state, [&] {
    // Copied under the lock, converted outside it: building Python objects can run Python code
    // (a GC pass, a finalizer) that calls back into this store.
    const StoreSnapshot snapshot = core_of(self).snapshot();
    return build_node_view(state.view_strings, snapshot);
  });
}

PyObject* outputs(PyObject* self, PyTypeObject* defining_class) {
  const ModuleState& state = state_of_defining_class(defining_class);
  return guarded(state, [&] { return id_list_to_python(core_of(self).marks()); });
}

// --- Reduction methods: each runs the pipeline with a fresh engine on a copy of the store. ---

// What a reduction method hands back.
enum class ReductionResult { Report, StoreAndReport, StoreReportAndMap };

// Converts `outputs` (None: the store's marks) and reduces. Nothing is reduced when an id names no
// node.
[[gnu::hot]] PyObject* run_reduction(const ModuleState& state, PyObject* self,
                                     PyObject* outputs_argument, bool maximal_fusion,
                                     ReductionResult result_kind) {
  const bool with_map = result_kind == ReductionResult::StoreReportAndMap;
  std::vector<NodeId> outputs;
  const bool explicit_outputs = outputs_argument != nullptr && outputs_argument != Py_None;
  if (explicit_outputs && !convert_id_list(outputs_argument, "outputs", outputs)) return nullptr;
  const SaturationEngine& engine = SaturationEngine::standard();
  StoreCore& store = core_of(self);
  ReducedStore reduced;
  const bool long_work = is_long(store);
  if (explicit_outputs) {
    Expected<ReducedStore, BadNodeId> result = without_interpreter_lock_if(long_work, [&] {
      return reduce_with_outputs(store, outputs, engine, maximal_fusion, with_map);
    });
    if (!result) {
      raise_bad_node_id(result.error().id);
      return nullptr;
    }
    reduced = std::move(result).value();
  } else {
    reduced = without_interpreter_lock_if(
        long_work, [&] { return reduce_with_marks(store, engine, maximal_fusion, with_map); });
  }
  switch (result_kind) {
    case ReductionResult::Report:
      return build_report_dict(state, reduced.report);
    case ReductionResult::StoreAndReport:
      return build_reduction_result(state, std::move(reduced));
    case ReductionResult::StoreReportAndMap:
      break;
  }
  return build_mapped_reduction_result(state, std::move(reduced));
}

constexpr Parameter kReduceParameters[] = {{"maximal_fusion", "False"}, {"outputs", "None"}};

constexpr CallableDeclaration kReduce = method(
    "GraphStore", "reduce", kReduceParameters, 0,
    "Reduces the graph through the optimizer (dead-code elimination, common-subexpression "
    "elimination and equality-saturation stage fusion behind RewriteEngine) and returns the "
    "reduced store and a report dict. maximal_fusion=True opts in to fusing fan-out operators "
    "whose consumers all land in one stage; the default is the single-use rule.");
constexpr CallableDeclaration kReduceWithMap = method(
    "GraphStore", "reduce_with_map", kReduceParameters, 0,
    "The reduction of reduce() with the same arguments, store and report, plus a map of where "
    "each value went: returns (store, report, map). map[\"roots\"] holds, for each root (the "
    "marks in mark order, or outputs= exactly as given, repeats kept), the id of the reduced node "
    "whose result is its value. map[\"nodes\"] holds one entry per node of this store: None when "
    "no root needs it, else (reduced_id, member), member being None for the reduced node's own "
    "result or the position of the Stage member that computes the value.");
constexpr CallableDeclaration kReduceIncremental = method(
    "GraphStore", "reduce_incremental", kOptionalOutputs, 0,
    "A one-shot incremental reduction of the current graph, with the same result as reduce(). "
    "Genuine step-by-step reduction while building is IncrementalReducer.");
constexpr CallableDeclaration kReductionReport =
    method("GraphStore", "reduction_report", kOptionalOutputs, 0,
           "The reduction report for the current graph, without keeping the reduced store.");

// reduce and reduce_with_map: maximal_fusion, outputs.
template <const CallableDeclaration& Callable, ReductionResult Result>
PyObject* reduce_fused(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                       std::size_t nargs, PyObject* kwnames) {
  BoundArguments<Callable> bound;
  if (!bind_arguments(kSignature<Callable>, args, nargs, kwnames, bound.data())) return nullptr;
  const ModuleState& state = state_of_defining_class(defining_class);
  return guarded(state, [&]() -> PyObject* {
    bool maximal_fusion = false;
    if (!convert_bool_argument(bound[0], "maximal_fusion", false, maximal_fusion)) return nullptr;
    return run_reduction(state, self, bound[1], maximal_fusion, Result);
  });
}

// reduce_incremental and reduction_report: outputs only.
template <const CallableDeclaration& Callable, ReductionResult Result>
PyObject* reduce_plain(PyObject* self, PyTypeObject* defining_class, PyObject* const* args,
                       std::size_t nargs, PyObject* kwnames) {
  BoundArguments<Callable> bound;
  if (!bind_arguments(kSignature<Callable>, args, nargs, kwnames, bound.data())) return nullptr;
  const ModuleState& state = state_of_defining_class(defining_class);
  return guarded(state, [&] { return run_reduction(state, self, bound[0], false, Result); });
}

PyMethodDef kMethods[] = {
    method_entry<kAddSource, add_source>(),
    method_entry<kAddOp, add_named<NodeKind::Op, kAddOp>>(),
    method_entry<kAddReduction, add_named<NodeKind::Reduction, kAddReduction>>(),
    method_entry<kAddExternal, add_external>(),
    method_entry<kAddExchange, add_exchange>(),
    method_entry<kNodeCount, node_count>(),
    method_entry<kToDot, to_dot>(),
    method_entry<kSerialize, serialize>(),
    method_entry<kDeserialize, deserialize>(),
    method_entry<kNodes, nodes>(),
    method_entry<kOutputs, outputs>(),
    method_entry<kReduce, reduce_fused<kReduce, ReductionResult::StoreAndReport>>(),
    method_entry<kReduceWithMap,
                 reduce_fused<kReduceWithMap, ReductionResult::StoreReportAndMap>>(),
    method_entry<kReduceIncremental,
                 reduce_plain<kReduceIncremental, ReductionResult::StoreAndReport>>(),
    method_entry<kReductionReport, reduce_plain<kReductionReport, ReductionResult::Report>>(),
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject* graph_store_class(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module))->graph_store_type;
}

PyMethodDef kStaticMethods[] = {
    static_method_entry<kDeserialize, deserialize, graph_store_class>(),
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_store)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_store)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kDocstring<kNew>.data())},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "zembric_core.GraphStore",
    sizeof(GraphStoreObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyTypeObject* create_graph_store_type(PyObject* module) {
  return create_final_type(module, &kSpec, kStaticMethods);
}

[[gnu::hot]] PyObject* wrap_store(const ModuleState& state, std::unique_ptr<StoreCore> core) {
  return allocate(state.graph_store_type, std::move(core));
}

StoreCore* as_store(const ModuleState& state, PyObject* object) {
  if (Py_TYPE(object) != state.graph_store_type) return nullptr;
  return reinterpret_cast<GraphStoreObject*>(object)->core.get();
}

}  // namespace zembric::python

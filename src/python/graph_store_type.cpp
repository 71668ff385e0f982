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
#include "python/descriptor_conversion.h"
#include "python/error_translation.h"
#include "python/final_type.h"
#include "python/id_list_conversion.h"
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

PyObject* g_type = nullptr;

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

PyObject* new_store(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr Signature kSignature{"GraphStore.__new__", {}, 0, 0};
  PyObject* unused[1];
  if (!bind_arguments(kSignature, args, kwargs, unused)) return nullptr;
  return guarded([&] { return allocate(type, std::make_unique<StoreCore>()); });
}

void dealloc_store(PyObject* self) {
  using Core = std::unique_ptr<StoreCore>;
  reinterpret_cast<GraphStoreObject*>(self)->core.~Core();
  free_heap_instance(self);
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

PyObject* add_source(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"name", "params"};
  static constexpr Signature kSignature{"GraphStore.add_source", kNames, 2, 1};
  PyObject* bound[2];
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::string_view name;
    ParamMap params;
    if (!convert_text_argument(bound[0], "name", name) || !convert_params(bound[1], params)) {
      return nullptr;
    }
    const Expected<NodeId, BadNodeId> id =
        core_of(self).intern(Node::plain(NodeKind::Source, name, std::move(params), InputList()));
    if (!id) {
      raise_internal_error("source has no inputs");
      return nullptr;
    }
    return id_to_python(id.value());
  });
}

// add_op and add_reduction: name, inputs, params. Short input lists and names convert without
// allocating, and the node takes the converted storage over.
template <NodeKind Kind>
PyObject* add_named(const Signature& signature, PyObject* self, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3];
  if (!bind_arguments(signature, args, nargs, kwnames, bound)) return nullptr;
  return guarded([&]() -> PyObject* {
    // A view of the str argument, which the caller holds for the whole call.
    std::string_view name;
    InputList inputs;
    ParamMap params;
    if (!convert_text_argument(bound[0], "name", name) ||
        !convert_id_list(bound[1], "inputs", inputs) || !convert_params(bound[2], params)) {
      return nullptr;
    }
    return intern(self, Node::plain(Kind, name, std::move(params), std::move(inputs)));
  });
}

constexpr const char* kNamedParameters[] = {"name", "inputs", "params"};

PyObject* add_op(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature kSignature{"GraphStore.add_op", kNamedParameters, 3, 2};
  return add_named<NodeKind::Op>(kSignature, self, args, nargs, kwnames);
}

PyObject* add_reduction(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static constexpr Signature kSignature{"GraphStore.add_reduction", kNamedParameters, 3, 2};
  return add_named<NodeKind::Reduction>(kSignature, self, args, nargs, kwnames);
}

PyObject* add_external(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"descriptor", "inputs", "params"};
  static constexpr Signature kSignature{"GraphStore.add_external", kNames, 3, 2};
  PyObject* bound[3];
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
  return guarded([&]() -> PyObject* {
    std::vector<NodeId> inputs;
    PayloadDescriptor descriptor;
    ParamMap params;
    // Inputs first: their error is the one reported when both are wrong.
    if (!convert_id_list(bound[1], "inputs", inputs) || !convert_descriptor(bound[0], descriptor) ||
        !convert_params(bound[2], params)) {
      return nullptr;
    }
    return intern(self,
                  Node::external(std::move(descriptor), std::move(params), std::move(inputs)));
  });
}

PyObject* add_exchange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"inputs", "params"};
  static constexpr Signature kSignature{"GraphStore.add_exchange", kNames, 2, 1};
  PyObject* bound[2];
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
  return guarded([&]() -> PyObject* {
    InputList inputs;
    ParamMap params;
    if (!convert_id_list(bound[0], "inputs", inputs) || !convert_params(bound[1], params)) {
      return nullptr;
    }
    return intern(self, Node::plain(NodeKind::Exchange, {}, std::move(params), std::move(inputs)));
  });
}

// --- Reading and export methods. ---

PyObject* node_count(PyObject* self, PyObject*) {
  return guarded([&] { return PyLong_FromUnsignedLongLong(core_of(self).node_count()); });
}

PyObject* to_dot(PyObject* self, PyObject*) {
  return guarded([&] {
    const std::string text =
        core_of(self).read([](std::span<const Node> nodes, std::span<const NodeId> outputs) {
          return render_dot(nodes, outputs);
        });
    return str_from_utf8(text);
  });
}

PyObject* serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"outputs"};
  static constexpr Signature kSignature{"GraphStore.serialize", kNames, 1, 0};
  PyObject* bound[1];
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
  return guarded([&]() -> PyObject* {
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
    // Written under the lock straight from the store's own lists into the bytes object: no copy
    // of the nodes, none of the blob. Allocating a bytes object runs no Python code.
    class BytesSink final : public BlobSink {
     public:
      unsigned char* room(std::size_t size) override {
        if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
          PyErr_NoMemory();
          return nullptr;
        }
        bytes = OwnedRef(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        return bytes ? reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get())) : nullptr;
      }
      OwnedRef bytes;
    };
    BytesSink sink;
    const std::optional<BlobTooLarge> refused =
        store.read([&](std::span<const Node> nodes, std::span<const NodeId> marks) {
          return write_blob_into(nodes, explicit_outputs ? std::span<const NodeId>(outputs) : marks,
                                 sink);
        });
    if (refused) {
      PyErr_SetString(PyExc_ValueError, refused->message.c_str());
      return nullptr;
    }
    return sink.bytes.release();  // null with MemoryError set when the bytes could not be made
  });
}

PyObject* deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kNames[] = {"data"};
  static constexpr Signature kSignature{"GraphStore.deserialize", kNames, 1, 1};
  PyObject* bound[1];
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
  PyObject* data = bound[0];
  if (!PyBytes_Check(data)) {
    PyErr_Format(PyExc_TypeError, "argument 'data': expected bytes, got %.200s",
                 Py_TYPE(data)->tp_name);
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    // The reader runs no Python code, so the bytes cannot change under it.
    const std::string_view bytes(PyBytes_AS_STRING(data),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
    Expected<std::unique_ptr<StoreCore>, BlobDecodeError> store = read_blob(bytes);
    if (!store) {
      PyErr_SetString(PyExc_ValueError, store.error().message.c_str());
      return nullptr;
    }
    return wrap_store(std::move(store).value());
  });
}

PyObject* nodes(PyObject* self, PyObject*) {
  return guarded([&] {
    // Copied under the lock, converted outside it: building Python objects can run Python code
    // (a GC pass, a finalizer) that calls back into this store.
    const StoreSnapshot snapshot = core_of(self).snapshot();
    return build_node_view(snapshot);
  });
}

PyObject* outputs(PyObject* self, PyObject*) {
  return guarded([&] { return id_list_to_python(core_of(self).outputs()); });
}

// --- Reduction methods: each runs the pipeline with a fresh engine on a copy of the store. ---

// What a reduction method hands back.
enum class ReductionResult { Report, StoreAndReport, StoreReportAndMap };

// Converts `outputs` (None: the store's marks) and reduces. Nothing is reduced when an id names no
// node.
PyObject* run_reduction(PyObject* self, PyObject* outputs_argument, bool maximal_fusion,
                        ReductionResult result_kind) {
  const bool with_map = result_kind == ReductionResult::StoreReportAndMap;
  std::vector<NodeId> outputs;
  const bool explicit_outputs = outputs_argument != nullptr && outputs_argument != Py_None;
  if (explicit_outputs && !convert_id_list(outputs_argument, "outputs", outputs)) return nullptr;
  const SaturationEngine engine;
  StoreCore& store = core_of(self);
  ReducedStore reduced;
  if (explicit_outputs) {
    Expected<ReducedStore, BadNodeId> result =
        reduce_with_outputs(store, outputs, engine, maximal_fusion, with_map);
    if (!result) {
      raise_bad_node_id(result.error().id);
      return nullptr;
    }
    reduced = std::move(result).value();
  } else {
    reduced = reduce_with_marks(store, engine, maximal_fusion, with_map);
  }
  switch (result_kind) {
    case ReductionResult::Report:
      return build_report_dict(reduced.report);
    case ReductionResult::StoreAndReport:
      return build_reduction_result(std::move(reduced));
    case ReductionResult::StoreReportAndMap:
      break;
  }
  return build_mapped_reduction_result(std::move(reduced));
}

constexpr const char* kReduceNames[] = {"maximal_fusion", "outputs"};
constexpr const char* kOutputsOnly[] = {"outputs"};

PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr Signature kSignature{"GraphStore.reduce", kReduceNames, 0, 0};
  PyObject* bound[2];
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
  return guarded([&]() -> PyObject* {
    bool maximal_fusion = false;
    if (!convert_bool_argument(bound[0], "maximal_fusion", false, maximal_fusion)) return nullptr;
    return run_reduction(self, bound[1], maximal_fusion, ReductionResult::StoreAndReport);
  });
}

PyObject* reduce_with_map(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static constexpr Signature kSignature{"GraphStore.reduce_with_map", kReduceNames, 0, 0};
  PyObject* bound[2];
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
  return guarded([&]() -> PyObject* {
    bool maximal_fusion = false;
    if (!convert_bool_argument(bound[0], "maximal_fusion", false, maximal_fusion)) return nullptr;
    return run_reduction(self, bound[1], maximal_fusion, ReductionResult::StoreReportAndMap);
  });
}

PyObject* reduce_incremental(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static constexpr Signature kSignature{"GraphStore.reduce_incremental", kOutputsOnly, 0, 0};
  PyObject* bound[1];
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
  return guarded(
      [&] { return run_reduction(self, bound[0], false, ReductionResult::StoreAndReport); });
}

PyObject* reduction_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static constexpr Signature kSignature{"GraphStore.reduction_report", kOutputsOnly, 0, 0};
  PyObject* bound[1];
  if (!bind_arguments(kSignature, args, nargs, kwnames, bound)) return nullptr;
  return guarded([&] { return run_reduction(self, bound[0], false, ReductionResult::Report); });
}

constexpr const char kReduceDoc[] =
    "reduce($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
    "Reduces the graph through the optimizer (dead-code elimination, common-subexpression "
    "elimination and equality-saturation stage fusion behind RewriteEngine) and returns the "
    "reduced store and a report dict. maximal_fusion=True opts in to fusing fan-out operators "
    "whose consumers all land in one stage; the default is the single-use rule.";

constexpr const char kReduceWithMapDoc[] =
    "reduce_with_map($self, *, maximal_fusion=False, outputs=None)\n--\n\n"
    "The reduction of reduce() with the same arguments, store and report, plus a map of where "
    "each value went: returns (store, report, map). map[\"roots\"] holds, for each root (the "
    "marks in mark order, or outputs= exactly as given, repeats kept), the id of the reduced node "
    "whose result is its value. map[\"nodes\"] holds one entry per node of this store: None when "
    "no root needs it, else (reduced_id, member), member being None for the reduced node's own "
    "result or the position of the Stage member that computes the value.";

constexpr const char kReduceIncrementalDoc[] =
    "reduce_incremental($self, *, outputs=None)\n--\n\n"
    "A one-shot incremental reduction of the current graph, with the same result as reduce(). "
    "Genuine step-by-step reduction while building is IncrementalReducer.";

constexpr const char kReductionReportDoc[] =
    "reduction_report($self, *, outputs=None)\n--\n\n"
    "The reduction report for the current graph, without keeping the reduced store.";

constexpr const char kExchangeDoc[] =
    "add_exchange($self, inputs, params=None)\n--\n\n"
    "Records an Exchange boundary. An Exchange has no name: its identity is its scheme ParamMap "
    "(params) plus its one logical input, and nodes()[i][\"kind\"] is \"exchange\" for it.";

constexpr const char kSerializeDoc[] =
    "serialize($self, outputs=None)\n--\n\n"
    "Writes the IR in its canonical, versioned, byte-identical durable form, the canonical "
    "durable representation of the IR. With outputs= the bytes flag exactly that set and the "
    "stored marks are ignored (outputs are a property of the compile request); the default keeps "
    "the marks.";

constexpr const char kDeserializeDoc[] =
    "deserialize(data)\n--\n\n"
    "Rebuilds a store from canonical bytes. Reading back written bytes reproduces the same node "
    "ids, so serialize() of the result is byte-identical to the input.";

constexpr const char kNodesDoc[] =
    "nodes($self)\n--\n\n"
    "A structured, read-only view of every node in id order. Each entry is a dict with id, kind "
    "(source|op|reduction|external|stage), name, params, inputs, output (bool), plus a "
    "descriptor dict for external nodes and n_members for stage nodes.";

constexpr const char kOutputsDoc[] =
    "outputs($self)\n--\n\n"
    "The marked output node ids, in mark order (what an IR evaluator returns, in order).";

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"add_source", as_pycfunction(add_source), kFastcall,
     "add_source($self, name, params=None)\n--\n\n"},
    {"add_op", as_pycfunction(add_op), kFastcall,
     "add_op($self, name, inputs, params=None)\n--\n\n"},
    {"add_reduction", as_pycfunction(add_reduction), kFastcall,
     "add_reduction($self, name, inputs, params=None)\n--\n\n"},
    {"add_external", as_pycfunction(add_external), kFastcall,
     "add_external($self, descriptor, inputs, params=None)\n--\n\n"},
    {"add_exchange", as_pycfunction(add_exchange), kFastcall, kExchangeDoc},
    {"node_count", node_count, METH_NOARGS, "node_count($self)\n--\n\n"},
    {"to_dot", to_dot, METH_NOARGS, "to_dot($self)\n--\n\n"},
    {"serialize", as_pycfunction(serialize), kFastcall, kSerializeDoc},
    {"deserialize", as_pycfunction(deserialize), kFastcall | METH_STATIC, kDeserializeDoc},
    {"nodes", nodes, METH_NOARGS, kNodesDoc},
    {"outputs", outputs, METH_NOARGS, kOutputsDoc},
    {"reduce", as_pycfunction(reduce), kFastcall, kReduceDoc},
    {"reduce_with_map", as_pycfunction(reduce_with_map), kFastcall, kReduceWithMapDoc},
    {"reduce_incremental", as_pycfunction(reduce_incremental), kFastcall, kReduceIncrementalDoc},
    {"reduction_report", as_pycfunction(reduction_report), kFastcall, kReductionReportDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] =
    "GraphStore()\n--\n\n"
    "A thread-safe interned graph store, immutable from Python, that keeps its contents behind a "
    "mutex (interior mutability) and so is safe to share across threads both under the "
    "interpreter lock and on free-threaded interpreters.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_store)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_store)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kDoc)},
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

PyObject* graph_store_type() {
  if (g_type == nullptr) g_type = create_final_type(&kSpec);
  return g_type;
}

PyObject* wrap_store(std::unique_ptr<StoreCore> core) {
  PyObject* type = graph_store_type();
  if (type == nullptr) return nullptr;
  return allocate(reinterpret_cast<PyTypeObject*>(type), std::move(core));
}

StoreCore* as_store(PyObject* object) {
  if (g_type == nullptr || Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(g_type)) {
    return nullptr;
  }
  return reinterpret_cast<GraphStoreObject*>(object)->core.get();
}

}  // namespace zembric::python

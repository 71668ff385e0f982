// Module initialisation: multi-phase, one execution slot. Everything the module makes lives in its
// ModuleState, so each module object is independent of every other.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/callable_declaration.h"
#include "python/error_translation.h"
#include "python/graph_store_type.h"
#include "python/incremental_reducer_type.h"
#include "python/method_table.h"
#include "python/module_state.h"
#include "python/payload_descriptor_type.h"
#include "python/python_ref.h"

namespace zembric::python {

namespace {

PyObject* version(PyObject*, PyObject*) {
  return PyUnicode_FromString("0.0.1");
}

constexpr CallableDeclaration kVersion = function("version");

PyMethodDef kVersionDef = method_entry<kVersion, version>();

ModuleState& state_of_module(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// Sets the module attribute and appends its name to __all__, which the first export creates.
bool add_export(PyObject* module, const char* name, PyObject* object) {
  if (object == nullptr) return false;
  if (PyModule_AddObjectRef(module, name, object) < 0) return false;
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");
  if (all == nullptr) {
    OwnedRef created(PyList_New(0));
    if (!created || PyDict_SetItemString(dict, "__all__", created.get()) < 0) return false;
    all = created.get();  // the module dict now holds it
  }
  const OwnedRef text(PyUnicode_InternFromString(name));
  return text && PyList_Append(all, text.get()) == 0;
}

PyObject* as_object(PyTypeObject* type) {
  return reinterpret_cast<PyObject*>(type);
}

// Whatever fails here leaves the state partly filled; m_free releases it with the module.
int exec_module(PyObject* module) {
  ModuleState& state = state_of_module(module);
  state.internal_error = new_internal_error_type();
  if (state.internal_error == nullptr || !make_view_strings(state.view_strings)) return -1;
  state.graph_store_type = create_graph_store_type(module);
  if (!add_export(module, "GraphStore", as_object(state.graph_store_type))) return -1;
  state.payload_descriptor_type = create_payload_descriptor_type(module);
  if (!add_export(module, "PayloadDescriptor", as_object(state.payload_descriptor_type))) {
    return -1;
  }
  state.incremental_reducer_type = create_incremental_reducer_type(module);
  if (!add_export(module, "IncrementalReducer", as_object(state.incremental_reducer_type))) {
    return -1;
  }
  const OwnedRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  const OwnedRef version_function(PyCFunction_NewEx(&kVersionDef, module, module_name.get()));
  return add_export(module, "version", version_function.get()) ? 0 : -1;
}

// The classes hold their module (PyType_FromModuleAndSpec) and the state holds the classes: a
// cycle that the collector sees through this traversal. The strings hold no references.
int traverse_module(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_VISIT(state->graph_store_type);
  Py_VISIT(state->payload_descriptor_type);
  Py_VISIT(state->incremental_reducer_type);
  Py_VISIT(state->internal_error);
  return 0;
}

int clear_module(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  Py_CLEAR(state->graph_store_type);
  Py_CLEAR(state->payload_descriptor_type);
  Py_CLEAR(state->incremental_reducer_type);
  Py_CLEAR(state->internal_error);
  clear_view_strings(state->view_strings);
  return 0;
}

void free_module(void* module) {
  clear_module(static_cast<PyObject*>(module));
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    // Everything Python-side lives in module state, and the core's shared tables take locks of
    // their own, so interpreters with a lock each may load the module side by side.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "zembric_core", "",          sizeof(ModuleState), nullptr, kSlots,
    traverse_module,       clear_module,   free_module,
};

}  // namespace

const ModuleState* state_of_class(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleByDef(type, &kModule);  // borrowed
  if (module == nullptr) return nullptr;
  return static_cast<const ModuleState*>(PyModule_GetState(module));
}

}  // namespace zembric::python

PyMODINIT_FUNC PyInit_zembric_core() {
  return PyModuleDef_Init(&zembric::python::kModule);
}

// Module initialisation: multi-phase, one execution slot, no per-module state.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/error_translation.h"
#include "python/graph_store_type.h"
#include "python/incremental_reducer_type.h"
#include "python/payload_descriptor_type.h"
#include "python/python_ref.h"

namespace zembric::python {

namespace {

PyObject* version(PyObject*, PyObject*) {
  return PyUnicode_FromString("0.0.1");
}

PyMethodDef kVersionDef = {"version", version, METH_NOARGS, "version()\n--\n\n"};

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

int exec_module(PyObject* module) {
  if (!ensure_internal_error_type()) return -1;
  if (!add_export(module, "GraphStore", graph_store_type())) return -1;
  if (!add_export(module, "PayloadDescriptor", payload_descriptor_type())) return -1;
  if (!add_export(module, "IncrementalReducer", incremental_reducer_type())) return -1;
  const OwnedRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  const OwnedRef function(PyCFunction_NewEx(&kVersionDef, module, module_name.get()));
  return add_export(module, "version", function.get()) ? 0 : -1;
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "zembric_core", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace zembric::python

PyMODINIT_FUNC PyInit_zembric_core() {
  return PyModuleDef_Init(&zembric::python::kModule);
}

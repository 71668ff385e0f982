#include "python/final_type.h"

#include <cstring>

#include "python/method_table.h"
#include "python/python_ref.h"

namespace zembric::python {

PyObject* method_calls::uninstalled_static_method(PyObject*, PyObject* const*, Py_ssize_t,
                                                  PyObject*) {
  PyErr_SetString(PyExc_SystemError, "a static method of zembric_core was not installed");
  return nullptr;
}

PyTypeObject* create_final_type(PyObject* module, PyType_Spec* spec,
                                std::span<PyMethodDef> static_methods) {
  // The methods take an instance's type for their defining class.
  if ((spec->flags & Py_TPFLAGS_BASETYPE) != 0) {
    PyErr_SetString(PyExc_SystemError, "a zembric_core class must be final");
    return nullptr;
  }
  OwnedRef type(PyType_FromModuleAndSpec(module, spec, nullptr));
  if (!type) return nullptr;
  auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
  for (PyMethodDef& definition : static_methods) {
    const OwnedRef name(PyUnicode_InternFromString(definition.ml_name));
    if (!name) return nullptr;
    const int placed = PyDict_Contains(type_object->tp_dict, name.get());
    if (placed <= 0) {
      if (placed == 0) PyErr_SetString(PyExc_SystemError, "a static method has no placeholder");
      return nullptr;
    }
    // Bound to the module, as a module function is. CPython binds the static methods of a method
    // table to their class but calls them without it; bound to the class without METH_STATIC the
    // method would pass for a classmethod, and a METH_METHOD one reads None for its __doc__.
    const OwnedRef function(PyCFunction_NewEx(&definition, module, nullptr));
    if (!function) return nullptr;
    const OwnedRef method(PyStaticMethod_New(function.get()));
    // Replacing an existing key keeps its place in the dict.
    if (!method || PyDict_SetItem(type_object->tp_dict, name.get(), method.get()) < 0) {
      return nullptr;
    }
  }
  if (!static_methods.empty()) PyType_Modified(type_object);
  // The spec's name is static, so the bare part outlives the type.
  if (const char* dot = std::strrchr(spec->name, '.')) type_object->tp_name = dot + 1;
  return reinterpret_cast<PyTypeObject*>(type.release());
}

void free_heap_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  // Instances of heap types own a reference to their type.
  Py_DECREF(type);
}

}  // namespace zembric::python

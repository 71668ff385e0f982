#include "python/final_type.h"

#include <cstring>

namespace zembric::python {

PyObject* create_final_type(PyType_Spec* spec) {
  PyObject* type = PyType_FromSpec(spec);
  if (type == nullptr) return nullptr;
  // The spec's name is static, so the bare part outlives the type.
  if (const char* dot = std::strrchr(spec->name, '.')) {
    reinterpret_cast<PyTypeObject*>(type)->tp_name = dot + 1;
  }
  return type;
}

void free_heap_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  // Instances of heap types own a reference to their type.
  Py_DECREF(type);
}

}  // namespace zembric::python

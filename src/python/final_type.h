// Heap types of the module: not subclassable, no instance dict or weakref slot, and closed to
// attribute assignment on the class itself.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zembric::python {

// A new type from `spec`, whose name is "zembric_core.<Class>": CPython takes __module__ from the
// dotted name, and the type's own name (the one in CPython's messages) is then cut to the bare
// class name. The spec must not allow subclassing. New reference, or nullptr with an error set.
PyObject* create_final_type(PyType_Spec* spec);

// Frees an instance of a heap type after its C++ members were destroyed.
void free_heap_instance(PyObject* self);

}  // namespace zembric::python

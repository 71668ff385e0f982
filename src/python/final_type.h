// Heap types of the module: not subclassable, no instance dict or weakref slot, and closed to
// attribute assignment on the class itself. Each module object creates its own.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace zembric::python {

// A new type of `module` from `spec`, whose name is "zembric_core.<Class>": CPython takes
// __module__ from the dotted name, and the type's own name (the one in CPython's messages) is then
// cut to the bare class name. The spec must not allow subclassing. Each of `static_methods` (a
// static_method_entry, of static storage) gets the class for its defining class and replaces, as a
// staticmethod, the entry of the same name in the class dict. New reference, or nullptr with an
// error set.
PyTypeObject* create_final_type(PyObject* module, PyType_Spec* spec,
                                std::span<PyMethodDef> static_methods = {});

// Frees an instance of a heap type after its C++ members were destroyed.
void free_heap_instance(PyObject* self);

}  // namespace zembric::python

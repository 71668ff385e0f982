// Entries of PyMethodDef tables, made from callable declarations.
//
// Methods are written as METH_METHOD methods are: handed the class that defines them, through which
// they reach their module's state. Instance methods are registered as plain METH_FASTCALL |
// METH_KEYWORDS (or METH_NOARGS) methods all the same, because CPython (3.11 to 3.13 at least)
// gives the bound form of a METH_METHOD method the type builtin_method, whose __doc__ is None.
// Every class of the module is final, so an instance's type is the defining class of each of its
// methods. A static method has no instance: it is bound to its module instead, as a module
// function is, and finds its defining class in the module's state.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <type_traits>

#include "python/callable_declaration.h"

namespace zembric::python {

// (self, defining_class, args, nargs, kwnames), nargs a plain count.
using MethodFunction = PyCMethod;
using NoArgumentsMethodFunction = PyObject* (*)(PyObject* self, PyTypeObject* defining_class);

// Through void(*)() so that the compiler accepts the deliberate function-type cast: the C API
// stores every calling convention as PyCFunction.
template <class Function>
PyCFunction as_pycfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

namespace method_calls {

template <MethodFunction Function>
[[gnu::hot]] PyObject* with_arguments(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  return Function(self, Py_TYPE(self), args, static_cast<std::size_t>(nargs), kwnames);
}

template <NoArgumentsMethodFunction Function>
PyObject* without_arguments(PyObject* self, PyObject*) {
  return Function(self, Py_TYPE(self));
}

PyObject* uninstalled_static_method(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <MethodFunction Function, PyTypeObject* (*DefiningClass)(PyObject* module)>
PyObject* with_module(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return Function(nullptr, DefiningClass(module), args, static_cast<std::size_t>(nargs), kwnames);
}

}  // namespace method_calls

// The table entry of a method, or of a module function (a plain PyCFunction without parameters).
// A method with parameters is bound by our binder; one without is refused arguments by CPython in
// its own words ("takes no arguments (1 given)"). For a static method the entry only holds its
// place in the class dict, whose order the table fixes: CPython gives a static method of the
// table no defining class, so create_final_type replaces it with static_method_entry of the same
// method.
template <const CallableDeclaration& Callable, auto Function>
PyMethodDef method_entry() {
  constexpr const char* doc = kDocstring<Callable>.data();
  using Type = decltype(Function);
  if constexpr (Callable.kind == CallableKind::StaticMethod) {
    static_assert(std::is_same_v<Type, MethodFunction>);
    return {Callable.name, as_pycfunction(&method_calls::uninstalled_static_method),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, doc};
  } else if constexpr (Callable.kind == CallableKind::Function) {
    static_assert(std::is_same_v<Type, PyCFunction> && Callable.parameters.empty());
    return {Callable.name, Function, METH_NOARGS, doc};
  } else if constexpr (std::is_same_v<Type, MethodFunction>) {
    static_assert(Callable.kind == CallableKind::Method);
    return {Callable.name, as_pycfunction(&method_calls::with_arguments<Function>),
            METH_FASTCALL | METH_KEYWORDS, doc};
  } else {
    static_assert(std::is_same_v<Type, NoArgumentsMethodFunction> &&
                  Callable.kind == CallableKind::Method && Callable.parameters.empty());
    return {Callable.name, &method_calls::without_arguments<Function>, METH_NOARGS, doc};
  }
}

// The definition create_final_type installs, bound to the module, in place of a static method's
// entry; `DefiningClass` reads the method's class from the module's state. `self` is nullptr when
// it is called.
template <const CallableDeclaration& Callable, MethodFunction Function,
          PyTypeObject* (*DefiningClass)(PyObject* module)>
PyMethodDef static_method_entry() {
  static_assert(Callable.kind == CallableKind::StaticMethod);
  return {Callable.name, as_pycfunction(&method_calls::with_module<Function, DefiningClass>),
          METH_FASTCALL | METH_KEYWORDS, kDocstring<Callable>.data()};
}

}  // namespace zembric::python

// Binds call arguments to a callable's parameters and reports binding failures in the wording
// CPython uses for Python functions ("missing 1 required positional argument: 'inputs'", ...).
// Binding never allocates on success and hands out borrowed references only.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <span>

namespace zembric::python {

// One parameter: its name and, for an optional one, its default as the signature shows it
// ("None", "False"). An omitted optional argument binds to nullptr whatever its default.
struct Parameter {
  const char* name;
  const char* default_text = nullptr;
};

// The parameter list of one callable, derived from its declaration (callable_declaration.h).
// Parameters before `positional` may be passed by position or keyword, the rest only by keyword;
// parameters before `required` must be given. No positional-only parameters, no *args, no
// **kwargs.
struct Signature {
  const char* callable;  // the name used in messages, e.g. "GraphStore.add_op"
  std::span<const Parameter> parameters;
  std::size_t positional;
  std::size_t required;
};

// The vectorcall form below for every call but the plain positional one.
bool bind_any_arguments(const Signature& signature, PyObject* const* args, std::size_t nargs,
                        PyObject* kwnames, PyObject** bound);

// Fills `bound[i]` (one slot per parameter) with the argument for parameter i, or nullptr when an
// optional parameter was omitted. False with a TypeError set when the call does not fit. Inline,
// so that a positional call of a known signature binds in a few instructions.
// `nargs` is a plain count, without PY_VECTORCALL_ARGUMENTS_OFFSET.
inline bool bind_arguments(const Signature& signature, PyObject* const* args, std::size_t nargs,
                           PyObject* kwnames, PyObject** bound) {
  if (kwnames == nullptr && nargs >= signature.required && nargs <= signature.positional) {
    std::copy(args, args + nargs, bound);
    std::fill(bound + nargs, bound + signature.parameters.size(), nullptr);
    return true;
  }
  return bind_any_arguments(signature, args, nargs, kwnames, bound);
}

// The same for the tuple-and-dict calling convention of tp_new.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** bound);

}  // namespace zembric::python

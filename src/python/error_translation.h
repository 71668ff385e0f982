// How failures cross into Python: the internal-error exception (a broken invariant, derived
// directly from BaseException so that `except Exception` does not swallow it) and the mapping of
// C++ exceptions at every entry point.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "python/module_state.h"

namespace zembric::python {

// A new internal-error type, "zembric_core.InternalError", for one module's state. New reference,
// or nullptr with an error set.
PyObject* new_internal_error_type();

// Raises the internal-error exception of `state`'s module.
void raise_internal_error(const ModuleState& state, const char* message);
// ValueError "no node with id <id>".
void raise_bad_node_id(std::uint64_t id);

// Sets the Python error for the C++ exception being handled; call only inside a catch block.
// MemoryError for std::bad_alloc; OverflowError with the exception's text for std::length_error,
// a size limit the caller's input reached; the internal-error exception of `state`'s module with
// the exception's text otherwise.
void raise_current_exception(const ModuleState& state) noexcept;

// Runs an entry point's body, turning any C++ exception into a Python error. The body returns a
// new reference, or nullptr with a Python error set. `state` is the calling method's module state.
template <class Body>
PyObject* guarded(const ModuleState& state, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception(state);
    return nullptr;
  }
}

}  // namespace zembric::python

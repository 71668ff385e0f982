// How failures cross into Python: the internal-error exception (a broken invariant, derived
// directly from BaseException so that `except Exception` does not swallow it) and the mapping of
// C++ exceptions at every entry point.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace zembric::python {

// Creates the internal-error type on the first call; it lives as long as the process. False with
// a Python error set on failure.
bool ensure_internal_error_type();
PyObject* internal_error_type() noexcept;

void raise_internal_error(const char* message);
// ValueError "no node with id <id>".
void raise_bad_node_id(std::uint64_t id);

// Sets the Python error for the C++ exception being handled; call only inside a catch block.
// MemoryError for std::bad_alloc, the internal-error exception with the exception's text otherwise.
void raise_current_exception() noexcept;

// Runs an entry point's body, turning any C++ exception into a Python error. The body returns a
// new reference, or nullptr with a Python error set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace zembric::python

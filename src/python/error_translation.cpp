#include "python/error_translation.h"

#include <exception>
#include <new>

namespace zembric::python {

namespace {

// Created once and never released: the type outlives every module object that raises it, also
// across re-imports.
PyObject* g_internal_error = nullptr;

constexpr const char kInternalErrorDoc[] =
    "A broken internal invariant of zembric_core. Derives from BaseException, not Exception: it "
    "signals a defect, not a condition a caller should handle.";

}  // namespace

bool ensure_internal_error_type() {
  if (g_internal_error != nullptr) return true;
  g_internal_error = PyErr_NewExceptionWithDoc("zembric_core.InternalError", kInternalErrorDoc,
                                               PyExc_BaseException, nullptr);
  return g_internal_error != nullptr;
}

PyObject* internal_error_type() noexcept {
  return g_internal_error;
}

void raise_internal_error(const char* message) {
  // Only reachable after module execution created the type; fall back rather than crash.
  PyErr_SetString(g_internal_error != nullptr ? g_internal_error : PyExc_SystemError, message);
}

void raise_bad_node_id(std::uint64_t id) {
  PyErr_Format(PyExc_ValueError, "no node with id %llu", static_cast<unsigned long long>(id));
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_internal_error(error.what());
  } catch (...) {
    raise_internal_error("unknown C++ exception");
  }
}

}  // namespace zembric::python

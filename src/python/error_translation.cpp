#include "python/error_translation.h"

#include <exception>
#include <new>
#include <stdexcept>

namespace zembric::python {

namespace {

constexpr const char kInternalErrorDoc[] =
    "A broken internal invariant of zembric_core. Derives from BaseException, not Exception: it "
    "signals a defect, not a condition a caller should handle.";

}  // namespace

PyObject* new_internal_error_type() {
  return PyErr_NewExceptionWithDoc("zembric_core.InternalError", kInternalErrorDoc,
                                   PyExc_BaseException, nullptr);
}

void raise_internal_error(const ModuleState& state, const char* message) {
  // The type exists once the module has executed; fall back rather than crash.
  PyErr_SetString(state.internal_error != nullptr ? state.internal_error : PyExc_SystemError,
                  message);
}

void raise_bad_node_id(std::uint64_t id) {
  PyErr_Format(PyExc_ValueError, "no node with id %llu", static_cast<unsigned long long>(id));
}

void raise_current_exception(const ModuleState& state) noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error& error) {
    PyErr_SetString(PyExc_OverflowError, error.what());
  } catch (const std::exception& error) {
    raise_internal_error(state, error.what());
  } catch (...) {
    raise_internal_error(state, "unknown C++ exception");
  }
}

}  // namespace zembric::python

// Running the core's long operations with the interpreter lock released.
//
// The rules that keep this free of deadlock:
//  1. Only pure C++ work runs unlocked: it touches no Python object and calls no C API function.
//     Arguments are converted before, results built after, with the lock held again.
//  2. A store's or reducer's mutex is taken only inside the unlocked work, never while that work
//     waits for the interpreter lock: code holding such a mutex never needs the interpreter lock,
//     so a thread that holds the interpreter lock and waits for the mutex is only ever delayed.
//  3. The objects the work reads (a store, a reducer, a bytes object) are kept alive by the call's
//     own arguments for as long as it runs.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <optional>
#include <utility>

namespace zembric::python {

// Returns `work()`, run with the interpreter lock released; an exception it throws is rethrown
// once the lock is held again.
template <class Work>
auto without_interpreter_lock(Work&& work) -> decltype(work()) {
  std::optional<decltype(work())> result;
  std::exception_ptr failure;
  PyThreadState* const saved = PyEval_SaveThread();
  try {
    result.emplace(std::forward<Work>(work)());
  } catch (...) {
    failure = std::current_exception();
  }
  PyEval_RestoreThread(saved);
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

}  // namespace zembric::python

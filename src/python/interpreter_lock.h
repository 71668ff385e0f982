// Running the core's long operations with the interpreter lock released.
//
// The rules that keep this free of deadlock:
//  1. Only pure C++ work runs unlocked: it touches no Python object and calls no C API function.
//     Arguments are converted before, results built after, with the lock held again.
//  2. Code that holds a store's or reducer's mutex never waits for the interpreter lock: it runs
//     no Python code, and unlocked work takes the interpreter lock back only after releasing every
//     mutex. So a thread that holds the interpreter lock and waits for a mutex is only delayed.
//  3. The objects the work reads (a store, a reducer, a bytes object) are kept alive by the call's
//     own arguments for as long as it runs.
// Short work keeps the lock. Releasing it costs more than such work, and it hands the interpreter
// to any thread that is running Python code, which keeps it for a whole switch interval (5 ms by
// default) before the call may finish: a 30 us reduction would take 5 ms. By rule 2, work that
// keeps the lock may still take an object's mutex; it may then wait, lock held, for another
// thread's operation on the same object, as every building call may. A step or finalize keeps it
// only when its reducer is free at once, as a finalize of a large canonical form may be long.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
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

// Work over at least this many nodes, or blobs of at least this many bytes, releases the lock: a
// reduction of 1,024 nodes takes about 0.3 ms.
inline constexpr std::uint64_t kUnlockedFromNodes = 1024;
inline constexpr std::size_t kUnlockedFromBytes = std::size_t{32} << 10;

// Returns `work()`, run with the interpreter lock released when `long_work` says it pays.
template <class Work>
auto without_interpreter_lock_if(bool long_work, Work&& work) -> decltype(work()) {
  if (!long_work) return std::forward<Work>(work)();
  return without_interpreter_lock(std::forward<Work>(work));
}

}  // namespace zembric::python

// PoisonableMutex: the lock of a store or reducer. Every operation under it either completes or,
// when it runs out of memory or room (std::bad_alloc, std::length_error), leaves the guarded state
// as it found it. Any other exception unwinding while the lock is held can only be a broken
// invariant, and the state may be half-changed, so the lock is poisoned then and refuses every
// later operation.
#pragma once

#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "support/internal_error.h"

namespace zembric {

class PoisonableMutex {
 public:
  // Holds the mutex across several steps, for an owner that restores its invariants itself should
  // one of them fail (as a builder of a store no one else sees does); it never poisons. Throws
  // InternalError(`poisoned_message`) when the mutex was poisoned.
  class Guard {
   public:
    Guard(PoisonableMutex& mutex, const char* poisoned_message) : mutex_(mutex) {
      mutex_.mutex_.lock();
      if (mutex_.poisoned_) {
        mutex_.mutex_.unlock();
        throw InternalError(poisoned_message);
      }
    }
    ~Guard() { mutex_.mutex_.unlock(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    PoisonableMutex& mutex_;
  };

  // Returns `operation()` run under the mutex. Fails when the mutex was poisoned; poisons it when
  // the operation throws anything but exhausted memory or room.
  template <class Operation>
  decltype(auto) locked(const char* poisoned_message, Operation&& operation) {
    mutex_.lock();
    return run_locked(poisoned_message, std::forward<Operation>(operation));
  }

  // As locked(), when the mutex is free at once; std::nullopt, with nothing run, when another
  // thread holds it.
  template <class Operation>
  auto try_locked(const char* poisoned_message, Operation&& operation)
      -> std::optional<decltype(operation())> {
    if (!mutex_.try_lock()) return std::nullopt;
    return run_locked(poisoned_message, std::forward<Operation>(operation));
  }

 private:
  // Runs `operation()` with the mutex held by the caller, and unlocks it.
  template <class Operation>
  decltype(auto) run_locked(const char* poisoned_message, Operation&& operation) {
    if (poisoned_) {
      mutex_.unlock();
      throw InternalError(poisoned_message);
    }
    // Unlocks after the result is built, or after the handler has poisoned the mutex.
    struct Unlock {
      std::mutex& mutex;
      ~Unlock() { mutex.unlock(); }
    } unlock{mutex_};
    try {
      return operation();
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::length_error&) {
      throw;
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

  std::mutex mutex_;
  bool poisoned_ = false;
};

}  // namespace zembric

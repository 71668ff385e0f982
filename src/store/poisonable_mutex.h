// PoisonableMutex: the lock of a store or reducer. A call that unwinds with an exception while
// holding it can only be a broken invariant, and the state it guarded may be half-changed, so the
// lock is poisoned then and refuses every later operation.
#pragma once

#include <exception>
#include <mutex>

#include "store/internal_error.h"

namespace zembric {

class PoisonableMutex {
 public:
  // Holds the mutex for one operation. Throws InternalError(`poisoned_message`) when the mutex
  // was poisoned; poisons it when an exception unwinds through the guard.
  class Guard {
   public:
    Guard(PoisonableMutex& mutex, const char* poisoned_message)
        : mutex_(mutex), exceptions_on_entry_(std::uncaught_exceptions()) {
      mutex_.mutex_.lock();
      if (mutex_.poisoned_) {
        mutex_.mutex_.unlock();
        throw InternalError(poisoned_message);
      }
    }
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_on_entry_) mutex_.poisoned_ = true;
      mutex_.mutex_.unlock();
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    PoisonableMutex& mutex_;
    int exceptions_on_entry_;
  };

  // Returns `operation()` run under the mutex, failing and poisoning as a Guard around it would.
  // A handler instead of the count of uncaught exceptions: the success path costs nothing extra.
  template <class Operation>
  decltype(auto) locked(const char* poisoned_message, Operation&& operation) {
    mutex_.lock();
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
    } catch (...) {
      poisoned_ = true;
      throw;
    }
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;
};

}  // namespace zembric

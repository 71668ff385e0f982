// Allocation-failure injection for the tests of one executable: this file's source replaces the
// global operator new, which then throws std::bad_alloc at the k-th allocation once armed. Linked
// into one test executable only, so that no other test pays for it.
#pragma once

#include <cstddef>
#include <new>

namespace zembric::testing_support {

// Makes the `k`-th allocation from now (1-based) throw; 0 disarms.
void fail_allocation(std::size_t k) noexcept;
// Whether the armed failure has been thrown.
bool allocation_failed() noexcept;

// Calls `attempt()` with the k-th allocation failing, for k = 1, 2, ... and `after_failure()`
// after every attempt that threw std::bad_alloc, until an attempt runs without reaching its k-th
// allocation; then runs `after_failure` no more and returns the number of failure points.
template <class Attempt, class AfterFailure>
std::size_t for_each_allocation_failure(Attempt&& attempt, AfterFailure&& after_failure) {
  for (std::size_t k = 1;; ++k) {
    fail_allocation(k);
    bool threw = false;
    try {
      attempt();
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    const bool failed = allocation_failed();
    fail_allocation(0);
    if (threw) {
      after_failure();
    } else if (!failed) {
      return k - 1;
    }
  }
}

}  // namespace zembric::testing_support

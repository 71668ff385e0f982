// InternalError: a broken invariant of the core. No valid input reaches one; the Python layer turns
// it into the module's internal-error exception, and a store or reducer lock held while it unwinds
// stays poisoned.
#pragma once

#include <stdexcept>
#include <string>

namespace zembric {

class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace zembric

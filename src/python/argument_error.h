// The "argument '<name>': " prefix of conversion errors.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace zembric::python {

// Call with a Python error set after converting the argument `name` failed. A TypeError is
// replaced by a new TypeError "argument '<name>': <message>" that takes over the original's
// __cause__; any other error (OverflowError, UnicodeEncodeError, ...) is left as it is.
void prefix_argument_error(const char* name);

}  // namespace zembric::python

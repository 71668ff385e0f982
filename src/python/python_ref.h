// Owned and borrowed references to Python objects.
//
// The rules every function of this module follows:
//  1. A new reference (the result of a C API call that returns one) goes into an OwnedRef at once.
//     Its destructor releases it, so an early return on any error path leaks nothing.
//  2. A reference leaves an OwnedRef only through release(): as the return value of a function
//     that returns a new reference, or as the argument of a C API call that steals it.
//  3. A borrowed reference (an argument, PyList_GET_ITEM, PyDict_Next, a bound argument) is a
//     BorrowedRef or a plain PyObject*. It is valid only while its owner holds it; before running
//     anything that can execute Python code and so change the owner (__index__, __float__, __eq__,
//     a finalizer), take an OwnedRef with OwnedRef::from_borrowed().
//  4. No Py_INCREF/Py_DECREF by hand outside these two classes, and no BorrowedRef stored beyond
//     the call that received it.
//  5. No OwnedRef is destroyed while a store or reducer lock is held: releasing one can run Python
//     code that re-enters the store.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zembric::python {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  // Takes over a new reference (or nullptr, the C API's failure value).
  explicit OwnedRef(PyObject* new_reference) noexcept : ptr_(new_reference) {}
  static OwnedRef from_borrowed(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return OwnedRef(borrowed);
  }

  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  OwnedRef(OwnedRef&& other) noexcept : ptr_(other.release()) {}
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    // Release the old object last: its finalizer may run Python code that looks at this ref.
    PyObject* old = std::exchange(ptr_, other.release());
    Py_XDECREF(old);
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(ptr_); }

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  // Hands the reference on; this ref is empty afterwards.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

 private:
  PyObject* ptr_ = nullptr;
};

// A reference someone else owns. Cannot be made from a temporary OwnedRef, whose object would
// die at the end of the full expression.
class BorrowedRef {
 public:
  BorrowedRef(PyObject* borrowed) noexcept : ptr_(borrowed) {}        // NOLINT: implicit by design
  BorrowedRef(const OwnedRef& owner) noexcept : ptr_(owner.get()) {}  // NOLINT: implicit
  BorrowedRef(OwnedRef&&) = delete;

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  OwnedRef to_owned() const noexcept { return OwnedRef::from_borrowed(ptr_); }

 private:
  PyObject* ptr_;
};

}  // namespace zembric::python

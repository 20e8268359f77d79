// Owned references as a type: every early return releases exactly what it holds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace velk {

class OwnedRef {
 public:
  OwnedRef() noexcept = default;
  // Takes over a new reference (may be null).
  explicit OwnedRef(PyObject* owned) noexcept : ptr_(owned) {}
  static OwnedRef borrow(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return OwnedRef(borrowed);
  }

  OwnedRef(const OwnedRef& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
  OwnedRef(OwnedRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  // The old object is released last, when the assignment is complete: its
  // destructor may run Python code that sees this reference.
  OwnedRef& operator=(const OwnedRef& other) noexcept {
    OwnedRef old(other);
    std::swap(ptr_, old.ptr_);
    return *this;
  }
  OwnedRef& operator=(OwnedRef&& other) noexcept {
    OwnedRef old(std::move(other));
    std::swap(ptr_, old.ptr_);
    return *this;
  }
  ~OwnedRef() { Py_XDECREF(ptr_); }

  PyObject* get() const noexcept { return ptr_; }
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  PyObject* ptr_ = nullptr;
};

}  // namespace velk

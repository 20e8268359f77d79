// The error value of the binding layer. It travels up to the entry point as a
// C++ exception and is raised there as the Python exception it holds.
//
// Lazy errors carry a type and a message and make the exception instance only
// when raised or inspected, so building one needs no interpreter object.
// Materialised errors hold an exception instance taken from the interpreter.
#pragma once

#include <optional>
#include <source_location>
#include <string>

#include "binding/owned_ref.h"

namespace velk {

class BindingError {
 public:
  // `type` must live for the whole process (a built-in exception class or the
  // extension's panic class); it is not reference counted.
  static BindingError lazy(PyObject* type, std::string message);
  // TypeError "'{qualified type name}' object cannot be converted to '{target}'",
  // its message built when the exception is made.
  static BindingError type_mismatch(PyObject* obj, const char* target);
  // The pending exception, if any. A pending exception of the extension's own
  // panic class (panic_policy.h) is resumed as a panic instead (it writes the
  // Python traceback to standard error first).
  static std::optional<BindingError> take();
  // As take(), after a CPython call signalled failure: with nothing pending it
  // is a SystemError.
  static BindingError fetch();
  // The pending exception, known to be a MemoryError or a subclass, as it is.
  // Unlike take() it does not need the panic class, which memory may not allow
  // to be made any more: a MemoryError is never a panic coming back.
  static BindingError take_memory_error();
  // Makes the error the interpreter's pending exception.
  static void restore(BindingError error);

  // The exception instance (borrowed from the error), made on first use.
  PyObject* normalize();

 private:
  BindingError() = default;
  void raise_lazy();

  OwnedRef instance_;
  PyObject* type_ = nullptr;
  std::string message_;
  OwnedRef mismatch_type_;  // type whose name is put into the message
  const char* mismatch_target_ = nullptr;
};

// A basic object (str, int, float, list, tuple) could not be made. When memory
// ran out, the pending MemoryError is thrown as a BindingError and reaches the
// caller as it is; any other failure is printed and becomes a panic.
[[noreturn]] void python_api_call_failed(std::source_location where = std::source_location::current());

// Takes over a new reference to a basic object; a null one goes to
// python_api_call_failed.
OwnedRef checked_new(PyObject* object, std::source_location where = std::source_location::current());

}  // namespace velk

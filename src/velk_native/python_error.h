// Errors of velk._native and the one frame its entries run in.
//
// A check that refuses an argument throws a PythonError; a CPython call that
// failed throws PythonErrorSet with the interpreter's exception left pending.
// The entry frame turns whatever reaches it into exactly one Python exception:
// exhausted native memory is a MemoryError, an internal failure of the core
// (such as a worker pool that cannot start) a RuntimeError with its message.
#pragma once

#include <string>

#include "similarity/panic.h"

#include "module/py_ref.h"

namespace velk {

struct PythonError {
  PyObject* type;  // a built-in exception class
  std::string message;
};

struct PythonErrorSet {};

// Sets the pending Python exception for the C++ exception being handled.
void raise_current_exception() noexcept;

template <class Body>
PyObject* run_native_entry(Body&& body) noexcept {
  prepare_thread_for_failures();
  try {
    OwnedRef result = body();
    return result.release();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
}

}  // namespace velk

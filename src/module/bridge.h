// The one frame every entry point runs its body in. A body returns a new
// reference or throws: a BindingError is raised as the exception it holds, a
// panic as pyo3_runtime.PanicException, exhausted memory as MemoryError. The
// entry returns NULL with exactly one exception set, or the result.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>

#include "module/binding_error.h"
#include "module/fixed_texts.h"
#include "module/py_ref.h"
#include "similarity/panic.h"

namespace velk {

// Turns the exception being handled into the pending Python exception.
void raise_current_exception();

template <class Body>
PyObject* run_entry(Body&& body) noexcept {
  prepare_thread_for_failures();
  try {
    try {
      OwnedRef result = body();
      return result.release();
    } catch (...) {
      raise_current_exception();
      return nullptr;
    }
  } catch (...) {
    // Raising the error failed in turn: nothing can unwind past this frame.
    abort_with_report(kUncaughtPanicAtBoundary);
  }
}

}  // namespace velk

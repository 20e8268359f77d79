// The one frame every entry point of both extensions runs its body in. A body
// returns a new reference or throws: a BindingError is raised as the exception
// it holds, exhausted memory as MemoryError, a panic as the extension's policy
// says (panic_policy.h). The entry returns NULL with exactly one exception set,
// or the result.
#pragma once

#include "binding/binding_error.h"
#include "binding/fixed_texts.h"
#include "binding/owned_ref.h"
#include "similarity/panic.h"

namespace velk {

// Turns the C++ exception being handled into the pending Python exception.
void raise_current_exception();

template <class Body>
PyObject* run_entry(Body&& body) noexcept {
  // Before anything can fail: a thread's first exception must not need memory.
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

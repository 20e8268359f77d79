#include "module/bridge.h"

#include <string>

namespace velk {
namespace {

void raise_handled_exception() {
  try {
    throw;
  } catch (BindingError& error) {
    BindingError::restore(std::move(error));
  } catch (const Panic& failure) {
    BindingError::restore(panic_error(failure.message()));
  } catch (const std::bad_alloc&) {
    // A Python library must not end the interpreter when native memory runs
    // out; the caller gets a MemoryError and can free memory and go on.
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A size computation that overflowed before anything was allocated.
    try {
      panic(kCapacityOverflow);
    } catch (const Panic& failure) {
      BindingError::restore(panic_error(failure.message()));
    }
  } catch (const std::exception& other) {
    try {
      panic(other.what());
    } catch (const Panic& failure) {
      BindingError::restore(panic_error(failure.message()));
    }
  } catch (...) {
    try {
      panic("native code panicked with a payload that is not text");
    } catch (const Panic& failure) {
      BindingError::restore(panic_error(failure.message()));
    }
  }
}

}  // namespace

void raise_current_exception() {
  try {
    raise_handled_exception();
  } catch (BindingError& out_of_memory) {
    // Making the exception itself (its message, its arguments, the panic class)
    // needed a basic object that memory could not hold: raise that MemoryError.
    // A taken error is restored without making anything, so this cannot fail.
    BindingError::restore(std::move(out_of_memory));
  }
}

}  // namespace velk

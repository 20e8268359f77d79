#include "binding/entry_frame.h"

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "binding/panic_policy.h"

namespace velk {
namespace {

// A failure that is not a Panic yet: reported as the core reports its own,
// then raised as one.
void raise_as_panic(const std::string& message) {
  try {
    panic(message);
  } catch (const Panic& failure) {
    BindingError::restore(panic_error(failure.message()));
  }
}

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
    raise_as_panic(kCapacityOverflow);
  } catch (const std::exception& other) {
    raise_as_panic(other.what());
  } catch (...) {
    raise_as_panic(kPanicWithoutText);
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

// What a panic of the core becomes for the callers of one extension.
//
// This layer is linked into each extension on its own, and each extension
// defines these two functions once: _velk raises its panics as its own
// BaseException subclass, velk._native as RuntimeError. Everything else about
// errors (the entry frame, MemoryError, refusals) is the same for both.
#pragma once

#include <string>

#include "binding/binding_error.h"

namespace velk {

// The error a panic with this message is raised as.
BindingError panic_error(std::string message);

// The extension's own panic class once it exists, else null. A pending
// exception of this class that comes back through Python code (a __float__
// that re-raised a caught panic) is resumed as a panic, never turned into an
// ordinary error.
PyObject* own_panic_class() noexcept;

}  // namespace velk

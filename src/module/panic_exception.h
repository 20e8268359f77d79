// _velk's panics are raised as pyo3_runtime.PanicException, a BaseException
// subclass that is not an attribute of the module.
#pragma once

#include "binding/owned_ref.h"

namespace velk {

// The class, made once per process on first need and never released.
PyObject* panic_exception_type();

}  // namespace velk

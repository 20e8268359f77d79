// velk._native's panic policy (binding/panic_policy.h): a panic of the core
// reaches velk.search callers as a RuntimeError with the panic's message. The
// core has already written its report to standard error where it failed.
#include "binding/panic_policy.h"

#include <utility>

namespace velk {

BindingError panic_error(std::string message) { return BindingError::lazy(PyExc_RuntimeError, std::move(message)); }

PyObject* own_panic_class() noexcept { return nullptr; }

}  // namespace velk

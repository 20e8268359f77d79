// Counts (k, dim, a worker cap) from Python integers.
#pragma once

#include <cstdint>

#include "binding/owned_ref.h"

namespace velk {

// An int, or an object with __index__, in [0, 2**64). Throws a BindingError
// holding Python's own TypeError or OverflowError otherwise.
std::uint64_t to_count(PyObject* obj);

}  // namespace velk

#include "binding/count.h"

#include <limits>

#include "binding/binding_error.h"

namespace velk {

std::uint64_t to_count(PyObject* obj) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    OwnedRef index(PyNumber_Index(obj));
    if (!index) throw BindingError::fetch();
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == std::numeric_limits<unsigned long long>::max()) {
    if (auto error = BindingError::take()) throw std::move(*error);
  }
  return value;
}

}  // namespace velk

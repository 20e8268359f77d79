// Buffer-protocol views of the arrays a batch search reads and writes, with
// the checks that make them safe to hand to the core and messages that say
// what was given and how to fix it.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "module/py_ref.h"

namespace velk {

enum class ItemType { float32, int64 };

class ArrayView {
 public:
  // Acquires a view of `exporter` (writable if asked) under `name`, the
  // argument name used in messages. Throws PythonError when the object exports
  // no buffer (or no writable one), PythonErrorSet when the exporter fails.
  ArrayView(PyObject* exporter, const char* name, bool writable);
  ~ArrayView();
  ArrayView(const ArrayView&) = delete;
  ArrayView& operator=(const ArrayView&) = delete;

  // Refuses (PythonError) anything but a C-contiguous, aligned, native-order
  // 2-D array of `type`.
  void require_matrix(ItemType type) const;

  std::uint64_t rows() const noexcept { return static_cast<std::uint64_t>(view_.shape[0]); }
  std::uint64_t columns() const noexcept { return static_cast<std::uint64_t>(view_.shape[1]); }

  std::span<const float> floats() const noexcept {
    return {static_cast<const float*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(float)};
  }
  float* mutable_floats() const noexcept { return static_cast<float*>(view_.buf); }
  std::int64_t* mutable_int64s() const noexcept { return static_cast<std::int64_t*>(view_.buf); }

 private:
  // "a float64 array of shape (3, 4)", for messages.
  std::string describe() const;

  Py_buffer view_{};
  const char* name_;
};

}  // namespace velk

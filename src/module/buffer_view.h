// Borrowed, validated float32 views of buffer-protocol exports, for the
// zero-copy search. The view holds the exporter's memory (and a reference to
// it) until it is destroyed, which releases it on every path.
#pragma once

#include <memory>
#include <span>

#include "binding/owned_ref.h"

namespace velk {

class FloatBuffer {
 public:
  // Requests a read-only view and checks it: shape, strides, a float32 format of
  // the host's byte order, 4-byte alignment and C-contiguity. Throws a
  // BindingError otherwise.
  explicit FloatBuffer(PyObject* exporter);
  ~FloatBuffer();
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;

  std::span<const float> floats() const noexcept {
    return {static_cast<const float*>(view_->buf), static_cast<std::size_t>(view_->len) / sizeof(float)};
  }

 private:
  std::unique_ptr<Py_buffer> view_;
};

}  // namespace velk

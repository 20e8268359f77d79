#include "module/buffer_view.h"

#include <cstdint>
#include <bit>
#include <string_view>

#include "module/binding_error.h"
#include "module/fixed_texts.h"

namespace velk {
namespace {

// One character: native meaning. Two: a byte-order mark that denotes the host's
// own order, then 'f'. Nothing longer (repeat counts, several items).
bool is_native_float32_format(const char* format) {
  if (format == nullptr) return false;  // means "B", unsigned bytes
  const std::string_view text(format);
  if (text == "f") return true;
  if (text.size() != 2 || text[1] != 'f') return false;
  const char mark = text[0];
  if (mark == '@' || mark == '=') return true;
  if constexpr (std::endian::native == std::endian::little) return mark == '<';
  return mark == '>' || mark == '!';
}

}  // namespace

FloatBuffer::FloatBuffer(PyObject* exporter) : view_(std::make_unique<Py_buffer>()) {
  if (PyObject_GetBuffer(exporter, view_.get(), PyBUF_FULL_RO) == -1) {
    view_.reset();  // refused: nothing to release
    throw BindingError::fetch();
  }
  const char* refusal = nullptr;
  if (view_->shape == nullptr) {
    refusal = kShapeIsNull;
  } else if (view_->strides == nullptr) {
    refusal = kStridesIsNull;
  } else if (view_->itemsize != 4 || !is_native_float32_format(view_->format)) {
    refusal = kNotFloat32;
  } else if (reinterpret_cast<std::uintptr_t>(view_->buf) % alignof(float) != 0) {
    refusal = kNotFloat32Aligned;
  } else if (!PyBuffer_IsContiguous(view_.get(), 'C')) {
    // Rows are read as one run of memory; a strided view would give wrong
    // scores, and a negatively strided one would read memory the exporter does
    // not expose.
    refusal = "buffer is not C-contiguous; pass a C-contiguous float32 array (for example numpy.ascontiguousarray(a, dtype=numpy.float32))";
  }
  if (refusal != nullptr) {
    PyBuffer_Release(view_.get());
    view_.reset();
    throw BindingError::lazy(PyExc_BufferError, refusal);
  }
}

FloatBuffer::~FloatBuffer() {
  if (view_) PyBuffer_Release(view_.get());
}

}  // namespace velk

#include "module/buffer_view.h"

#include <cstdint>

#include "binding/binding_error.h"
#include "binding/buffer_format.h"
#include "module/fixed_texts.h"

namespace velk {

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
  } else if (!is_native_float32(view_->format, view_->itemsize)) {
    refusal = kNotFloat32;
  } else if (reinterpret_cast<std::uintptr_t>(view_->buf) % alignof(float) != 0) {
    refusal = kNotFloat32Aligned;
  } else if (!PyBuffer_IsContiguous(view_.get(), 'C')) {
    // Rows are read as one run of memory; a strided view would give wrong
    // scores, and a negatively strided one would read memory the exporter does
    // not expose.
    refusal =
        "buffer is not C-contiguous; pass a C-contiguous float32 array (for example numpy.ascontiguousarray(a, "
        "dtype=numpy.float32))";
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

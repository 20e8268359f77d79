// Read-only buffer-protocol views of the arrays a search reads, with the checks
// that make them safe to hand to the core and messages that say what was given
// and how to fix it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "binding/owned_ref.h"
#include "similarity/storage.h"

namespace velk {

class ArrayView {
 public:
  // Acquires a view of `exporter` under `name`, the argument name used in
  // messages. Throws a BindingError when the object exports no buffer or the
  // exporter fails.
  ArrayView(PyObject* exporter, const char* name);
  ~ArrayView();
  ArrayView(const ArrayView&) = delete;
  ArrayView& operator=(const ArrayView&) = delete;

  // Refuses anything but a C-contiguous, aligned, native-order 2-D float32
  // array.
  void require_float32_matrix() const;

  // Refuses anything but a C-contiguous, aligned, native-order 2-D array of
  // float32, float16, int8 or uint8, and returns which; with `bfloat16`, of
  // 2-byte unsigned items holding bfloat16 bits alone.
  Storage require_collection(bool bfloat16);

  // Whether it is a C-contiguous, aligned `ndim`-D array of native items of
  // `itemsize` bytes with one of the format codes in `codes`.
  bool is_plain(int ndim, const char* codes, std::size_t itemsize) const;
  std::uint64_t extent(int axis) const noexcept { return static_cast<std::uint64_t>(view_.shape[axis]); }
  const void* data() const noexcept { return view_.buf; }

  std::uint64_t rows() const noexcept { return static_cast<std::uint64_t>(view_.shape[0]); }
  std::uint64_t columns() const noexcept { return static_cast<std::uint64_t>(view_.shape[1]); }

  std::span<const float> floats() const noexcept {
    return {static_cast<const float*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(float)};
  }

 private:
  // The checks of both: `accepted` is the storage type of the items, or
  // nothing when they are of no type this view may hold.
  void require_matrix(std::optional<Storage> accepted, bool compact) const;

  // "a 2-D array of float64 with shape (3, 4)", for messages; the items are
  // called bfloat16 when they are known to hold bfloat16 bits.
  std::string describe() const;

  Py_buffer view_{};
  const char* name_;
  bool bfloat16_ = false;  // the items are bfloat16 bits in 2-byte unsigned integers
};

}  // namespace velk

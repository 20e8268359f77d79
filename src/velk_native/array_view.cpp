#include "velk_native/array_view.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "binding/binding_error.h"
#include "binding/buffer_format.h"
#include "binding/message_text.h"

namespace velk {
namespace {

// numpy's name for the items, as far as the format tells it.
std::string item_name(const ItemFormat& format, Py_ssize_t itemsize, const char* raw) {
  const std::string bits = std::to_string(itemsize * 8);
  std::string name;
  switch (format.simple ? format.code : '\0') {
    case 'f':
    case 'd':
    case 'e':
    case 'g':
      name = "float" + bits;
      break;
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n':
      name = "int" + bits;
      break;
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
    case 'N':
      name = "uint" + bits;
      break;
    case '?':
      name = "bool";
      break;
    case 'c':
      name = "bytes";
      break;
    default:
      return std::string("items of buffer format '") + (raw != nullptr ? raw : "B") + "'";
  }
  return format.native ? name : "byte-swapped " + name;
}

// The storage type of items in `format`, when it is one a collection may hold.
std::optional<Storage> storage_of(const ItemFormat& format, Py_ssize_t itemsize, bool bfloat16) {
  if (!format.simple) return std::nullopt;
  if (bfloat16) {
    if (format.code == 'H' && itemsize == 2 && format.native) return Storage::bfloat16;
    return std::nullopt;
  }
  // Single bytes have no byte order.
  if (format.code == 'b' && itemsize == 1) return Storage::int8;
  if (format.code == 'B' && itemsize == 1) return Storage::uint8;
  if (!format.native) return std::nullopt;
  if (format.code == 'f' && itemsize == 4) return Storage::float32;
  if (format.code == 'e' && itemsize == 2) return Storage::float16;
  return std::nullopt;
}

// The dtype a conversion hint names: the given type's own when it is one of
// ours, so that a fix keeps the caller's storage.
std::string dtype_text(std::optional<Storage> storage) {
  if (storage == Storage::bfloat16) return "ml_dtypes.bfloat16";
  return std::string("numpy.") + storage_name(storage.value_or(Storage::float32));
}

std::string tuple_text(const Py_ssize_t* values, int count) {
  std::string text = "(";
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(values[i]);
  }
  return text + (count == 1 ? ",)" : ")");
}

}  // namespace

ArrayView::ArrayView(PyObject* exporter, const char* name) : name_(name) {
  if (!PyObject_CheckBuffer(exporter)) {
    const std::string type_name = type_qualname(Py_TYPE(exporter)).value_or(Py_TYPE(exporter)->tp_name);
    throw BindingError::lazy(PyExc_TypeError,
                             std::string(name) + " must be a 2-D float32 array (an object with the buffer protocol, " +
                                 "such as a numpy array or numpy.memmap), not " + type_name +
                                 "; convert it once with numpy.ascontiguousarray(" + name + ", dtype=numpy.float32)");
  }
  if (PyObject_GetBuffer(exporter, &view_, PyBUF_RECORDS_RO) == -1) {
    view_.obj = nullptr;  // nothing to release
    throw BindingError::fetch();
  }
}

ArrayView::~ArrayView() {
  if (view_.obj != nullptr) PyBuffer_Release(&view_);
}

std::string ArrayView::describe() const {
  const ItemFormat format = parse_item_format(view_.format);
  std::string items = item_name(format, view_.itemsize, view_.format);
  if (bfloat16_ && format.simple && format.code == 'H' && view_.itemsize == 2) {
    items = format.native ? "bfloat16" : "byte-swapped bfloat16";
  }
  if (view_.ndim == 0 || view_.shape == nullptr) return "a 0-d array of " + items;
  return "a " + std::to_string(view_.ndim) + "-D array of " + items + " with shape " +
         tuple_text(view_.shape, view_.ndim);
}

void ArrayView::require_float32_matrix() const {
  const bool float32 = is_native_float32(view_.format, view_.itemsize);
  require_matrix(float32 ? std::optional<Storage>(Storage::float32) : std::nullopt, false);
}

Storage ArrayView::require_collection(bool bfloat16) {
  bfloat16_ = bfloat16;
  const std::optional<Storage> storage = storage_of(parse_item_format(view_.format), view_.itemsize, bfloat16);
  require_matrix(storage, true);
  return storage.value_or(Storage::float32);  // never the fallback: require_matrix refused the rest
}

void ArrayView::require_matrix(std::optional<Storage> accepted, bool compact) const {
  const std::string name(name_);
  const std::string dtype = dtype_text(accepted);
  const std::string conversion = "numpy.ascontiguousarray(" + name + ", dtype=" + dtype + ")";
  const auto refuse = [](PyObject* type, const std::string& message) { throw BindingError::lazy(type, message); };
  if (view_.ndim != 2 || view_.shape == nullptr) {
    refuse(PyExc_ValueError, name + " must be a 2-D array of shape (rows, dim), not " + describe() +
                                 "; reshape it, for example " + name + ".reshape(-1, dim)");
  }
  if (!accepted && bfloat16_) {
    // Only velk.search passes bfloat16 bits, as a uint16 view of the caller's array.
    refuse(PyExc_TypeError, name + " with storage 'bfloat16' must be a uint16 view of bfloat16 values in native " +
                                "byte order, not " + describe());
  }
  if (!accepted && compact) {
    refuse(PyExc_TypeError, name + " must hold float32, float16, bfloat16, int8 or uint8 in native byte order, not " +
                                describe() + "; convert it once with " + conversion +
                                ", or dtype=numpy.float16 for half the memory");
  }
  if (!accepted) {
    refuse(PyExc_TypeError, name + " must hold float32 in native byte order, not " + describe() +
                                "; convert it once with " + conversion);
  }
  if (!PyBuffer_IsContiguous(&view_, 'C')) {
    // Rows are read as one run of memory: a strided view would be read wrong.
    const std::string strides = view_.strides != nullptr ? " and strides " + tuple_text(view_.strides, 2) : "";
    refuse(PyExc_ValueError, name + " must be C-contiguous (one row after another in memory), not " + describe() +
                                 strides + "; copy it once with " + conversion);
  }
  if (view_.len != view_.shape[0] * view_.shape[1] * view_.itemsize) {
    // The core sizes everything from the shape and reads len bytes: an
    // exporter whose two disagree is refused rather than read.
    refuse(PyExc_ValueError, name + " exports " + std::to_string(view_.len) + " bytes, not the " +
                                 std::to_string(view_.shape[0] * view_.shape[1] * view_.itemsize) + " bytes of " +
                                 describe());
  }
  if (reinterpret_cast<std::uintptr_t>(view_.buf) % static_cast<std::uintptr_t>(view_.itemsize) != 0) {
    refuse(PyExc_ValueError, name + " must start at an address aligned to its " + std::to_string(view_.itemsize) +
                                 "-byte items, not " + describe() + " at an odd offset; copy it with numpy.require(" +
                                 name + ", " + dtype + ", ['C_CONTIGUOUS', 'ALIGNED'])");
  }
}

bool ArrayView::is_plain(int ndim, const char* codes, std::size_t itemsize) const {
  const ItemFormat format = parse_item_format(view_.format);
  return view_.ndim == ndim && view_.shape != nullptr && format.simple && format.native && format.code != '\0' &&
         std::strchr(codes, format.code) != nullptr && std::cmp_equal(view_.itemsize, itemsize) &&
         PyBuffer_IsContiguous(&view_, 'C') != 0 &&
         reinterpret_cast<std::uintptr_t>(view_.buf) % static_cast<std::uintptr_t>(itemsize) == 0;
}

}  // namespace velk

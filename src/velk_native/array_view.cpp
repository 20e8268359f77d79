#include "velk_native/array_view.h"

#include <bit>
#include <string_view>

#include "velk_native/python_error.h"

namespace velk {
namespace {

// A struct-module format of one item: an optional byte-order mark, then one
// type code. `native` is false for a mark that denotes the other byte order.
struct ItemFormat {
  char code = '\0';
  bool native = true;
  bool simple = false;
};

ItemFormat parse_format(const char* format) {
  if (format == nullptr) return {'B', true, true};  // the protocol's default: unsigned bytes
  std::string_view text(format);
  ItemFormat parsed;
  if (text.size() == 2) {
    const char mark = text[0];
    constexpr bool little = std::endian::native == std::endian::little;
    if (mark == '<') {
      parsed.native = little;
    } else if (mark == '>' || mark == '!') {
      parsed.native = !little;
    } else if (mark != '@' && mark != '=') {
      return parsed;
    }
    text.remove_prefix(1);
  }
  if (text.size() != 1) return parsed;
  parsed.code = text[0];
  parsed.simple = true;
  return parsed;
}

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

bool holds(const ItemFormat& format, Py_ssize_t itemsize, ItemType type) {
  if (!format.simple || !format.native) return false;
  switch (type) {
    case ItemType::float32:
      return itemsize == 4 && format.code == 'f';
    case ItemType::int64:
      return itemsize == 8 && (format.code == 'q' || format.code == 'l' || format.code == 'n');
  }
  return false;
}

std::string tuple_text(const Py_ssize_t* values, int count) {
  std::string text = "(";
  for (int i = 0; i < count; ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(values[i]);
  }
  return text + (count == 1 ? ",)" : ")");
}

std::string type_qualname(PyObject* obj) {
  OwnedRef name(PyType_GetQualName(Py_TYPE(obj)));
  const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return Py_TYPE(obj)->tp_name;
  }
  return utf8;
}

}  // namespace

ArrayView::ArrayView(PyObject* exporter, const char* name, bool writable) : name_(name) {
  if (!PyObject_CheckBuffer(exporter)) {
    throw PythonError{PyExc_TypeError,
                      std::string(name) + " must be a 2-D float32 array (an object with the buffer protocol, such as " +
                          "a numpy array or numpy.memmap), not " + type_qualname(exporter) +
                          "; convert it once with numpy.ascontiguousarray(" + name + ", dtype=numpy.float32)"};
  }
  if (PyObject_GetBuffer(exporter, &view_, writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO) == -1) {
    view_.obj = nullptr;  // nothing to release
    throw PythonErrorSet{};
  }
}

ArrayView::~ArrayView() {
  if (view_.obj != nullptr) PyBuffer_Release(&view_);
}

std::string ArrayView::describe() const {
  const std::string items = item_name(parse_format(view_.format), view_.itemsize, view_.format);
  if (view_.ndim == 0 || view_.shape == nullptr) return "a 0-d array of " + items;
  return "a " + std::to_string(view_.ndim) + "-D array of " + items + " with shape " +
         tuple_text(view_.shape, view_.ndim);
}

void ArrayView::require_matrix(ItemType type) const {
  const char* type_name = type == ItemType::float32 ? "float32" : "int64";
  const std::string name(name_);
  const std::string conversion = "numpy.ascontiguousarray(" + name + ", dtype=numpy." + type_name + ")";
  if (view_.ndim != 2 || view_.shape == nullptr) {
    throw PythonError{PyExc_ValueError, name + " must be a 2-D array of shape (rows, dim), not " + describe() +
                                            "; reshape it, for example " + name + ".reshape(-1, dim)"};
  }
  if (!holds(parse_format(view_.format), view_.itemsize, type)) {
    throw PythonError{PyExc_TypeError, name + " must hold " + type_name + " in native byte order, not " + describe() +
                                           "; convert it once with " + conversion};
  }
  if (!PyBuffer_IsContiguous(&view_, 'C')) {
    // Rows are read as one run of memory: a strided view would be read wrong.
    const std::string strides = view_.strides != nullptr ? " and strides " + tuple_text(view_.strides, 2) : "";
    throw PythonError{PyExc_ValueError, name + " must be C-contiguous (one row after another in memory), not " +
                                            describe() + strides + "; copy it once with " + conversion};
  }
  if (view_.len != view_.shape[0] * view_.shape[1] * view_.itemsize) {
    // The core sizes everything from the shape and reads len bytes: an
    // exporter whose two disagree is refused rather than read.
    throw PythonError{PyExc_ValueError, name + " exports " + std::to_string(view_.len) + " bytes, not the " +
                                            std::to_string(view_.shape[0] * view_.shape[1] * view_.itemsize) +
                                            " bytes of " + describe()};
  }
  if (reinterpret_cast<std::uintptr_t>(view_.buf) % static_cast<std::uintptr_t>(view_.itemsize) != 0) {
    throw PythonError{PyExc_ValueError, name + " must start at an address aligned to its " +
                                            std::to_string(view_.itemsize) + "-byte items, not " + describe() +
                                            " at an odd offset; copy it with numpy.require(" + name +
                                            ", numpy." + type_name + ", ['C_CONTIGUOUS', 'ALIGNED'])"};
  }
}

}  // namespace velk

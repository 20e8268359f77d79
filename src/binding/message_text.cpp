#include "binding/message_text.h"

#include <algorithm>

#include "binding/binding_error.h"

namespace velk {

std::string lossy_utf8(PyObject* str) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(str, &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  // Lone surrogates cannot be encoded: pass them through as bytes, then let the
  // decoder replace each invalid sequence with U+FFFD.
  PyErr_Clear();
  OwnedRef bytes = checked_new(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
  OwnedRef repaired =
      checked_new(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
  const char* utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
  if (utf8 == nullptr) python_api_call_failed();
  return std::string(utf8, static_cast<std::size_t>(size));
}

OwnedRef new_str(const std::string& text) {
  return checked_new(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

std::optional<std::string> type_qualname(PyTypeObject* type) {
  OwnedRef name(PyType_GetQualName(type));
  const char* utf8 = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(utf8);
}

std::string fill_text(std::string_view pattern, std::initializer_list<TextField> fields) {
  std::string out;
  std::size_t done = 0;
  while (done < pattern.size()) {
    const std::size_t open = pattern.find('{', done);
    const std::size_t close = open == std::string_view::npos ? open : pattern.find('}', open);
    if (close == std::string_view::npos) break;
    out.append(pattern.substr(done, open - done));
    const std::string_view name = pattern.substr(open + 1, close - open - 1);
    const auto* const field = std::ranges::find_if(fields, [name](const TextField& f) { return f.name == name; });
    out.append(field != fields.end() ? field->value : pattern.substr(open, close + 1 - open));
    done = close + 1;
  }
  out.append(pattern.substr(done));
  return out;
}

}  // namespace velk

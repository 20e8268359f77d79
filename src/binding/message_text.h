// Text helpers for messages that quote Python strings and types.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "binding/owned_ref.h"

namespace velk {

// UTF-8 text of a str; lone surrogates and other unencodable characters become
// U+FFFD. Never fails for a str (memory exhaustion aside, which panics).
std::string lossy_utf8(PyObject* str);

// A new str from UTF-8 text; invalid sequences become U+FFFD.
OwnedRef new_str(const std::string& text);

// The type's qualified name ("list", "Outer.Inner"), or nothing when it cannot
// be had (a __qualname__ that is not a str, exhausted memory); no exception is
// left pending either way.
std::optional<std::string> type_qualname(PyTypeObject* type);

struct TextField {
  std::string_view name;
  std::string_view value;
};

// The pattern with each "{name}" replaced by that field's value. Only the
// pattern is scanned: braces inside a value (a caller's keyword, a message) stay
// as they are.
std::string fill_text(std::string_view pattern, std::initializer_list<TextField> fields);

}  // namespace velk

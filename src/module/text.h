// Text helpers shared by messages that quote Python strings.
#pragma once

#include <string>

#include "module/py_ref.h"

namespace velk {

// UTF-8 text of a str; lone surrogates and other unencodable characters become
// U+FFFD. Never fails for a str (memory exhaustion aside, which panics).
std::string lossy_utf8(PyObject* str);

// A new str from UTF-8 text; invalid sequences become U+FFFD.
OwnedRef new_str(const std::string& text);

}  // namespace velk

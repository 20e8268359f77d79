// Placing positional and keyword arguments of a fast call into parameter slots,
// with the TypeError messages Python users know from built-in functions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "module/binding_error.h"

namespace velk {

struct KeywordParam {
  std::string_view name;
  bool required;
};

struct CallSignature {
  std::string_view name;
  std::span<const std::string_view> positional;
  std::span<const KeywordParam> keyword_only;
  std::string_view owner;  // empty for a module-level function
  std::uint64_t positional_only_count;
  std::uint64_t required_count;
};

// Fills slots[0 .. positional.size() + keyword_only.size()) with borrowed
// references; throws a BindingError holding a TypeError when binding fails.
void bind_arguments(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots);

// The error a call reports when converting the named argument failed: an exact
// TypeError gets the prefix "argument '{name}': ", anything else passes as is.
BindingError annotate_argument_error(std::string_view parameter_name, BindingError error);

std::string display_name(const CallSignature& signature);
std::string quote_name_list(std::span<const std::string_view> names);

// Converts one bound argument, reporting a failure under the parameter's name.
template <class Convert>
auto convert_argument(std::string_view parameter_name, PyObject* value, Convert&& convert)
    -> decltype(convert(value)) {
  try {
    return convert(value);
  } catch (BindingError& error) {
    throw annotate_argument_error(parameter_name, std::move(error));
  }
}

}  // namespace velk

// Placing the positional and keyword arguments of a fast call into parameter
// slots, with the TypeError messages Python users know from built-in
// functions. Every parameter of every _velk function is required and may be
// given by position or by keyword.
#pragma once

#include <span>
#include <string_view>

#include "binding/binding_error.h"

namespace velk {

struct CallSignature {
  std::string_view name;
  std::span<const std::string_view> parameters;
};

// Fills slots[0 .. parameters.size()) with borrowed references; throws a
// BindingError holding a TypeError when binding fails.
void bind_arguments(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots);

// The error a call reports when converting the named argument failed: an exact
// TypeError gets the prefix "argument '{name}': ", anything else passes as is.
BindingError annotate_argument_error(std::string_view parameter_name, BindingError error);

// Converts one bound argument, reporting a failure under the parameter's name.
template <class Convert>
auto convert_argument(std::string_view parameter_name, PyObject* value, Convert&& convert) -> decltype(convert(value)) {
  try {
    return convert(value);
  } catch (BindingError& error) {
    throw annotate_argument_error(parameter_name, std::move(error));
  }
}

}  // namespace velk

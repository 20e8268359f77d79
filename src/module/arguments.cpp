#include "module/arguments.h"

#include <algorithm>
#include <string>
#include <vector>

#include "binding/message_text.h"
#include "module/fixed_texts.h"

namespace velk {
namespace {

[[noreturn]] void fail(std::string message) { throw BindingError::lazy(PyExc_TypeError, std::move(message)); }

std::string display_name(const CallSignature& signature) { return std::string(signature.name) + "()"; }

// 'a', 'a' and 'b', 'a', 'b', and 'c'.
std::string quote_name_list(std::span<const std::string_view> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out.append(",");
      out.append(i + 1 == names.size() ? " and " : " ");
    }
    out.append("'").append(names[i]).append("'");
  }
  return out;
}

std::string unexpected_keyword(const CallSignature& signature, PyObject* name) {
  // The name as str() shows it, so also through a str subclass's own __str__.
  std::string text;
  if (OwnedRef str{PyObject_Str(name)}) {
    text = lossy_utf8(str.get());
  } else {
    PyErr_Clear();
    text = "<unprintable>";
  }
  return fill_text(kUnexpectedKeyword, {{"call", display_name(signature)}, {"keyword", text}});
}

std::string multiple_values(const CallSignature& signature, std::string_view keyword) {
  return fill_text(kMultipleValues, {{"call", display_name(signature)}, {"keyword", keyword}});
}

}  // namespace

void bind_arguments(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots) {
  const std::size_t count = signature.parameters.size();
  const auto given = static_cast<std::size_t>(nargs);
  // The count is examined before any keyword, as CPython does.
  if (given > count) {
    fail(fill_text(kTooManyPositional, {{"call", display_name(signature)},
                                        {"count", std::to_string(count)},
                                        {"given", std::to_string(given)},
                                        {"verb", given == 1 ? "was" : "were"}}));
  }
  for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];

  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < keyword_count; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) {
      PyErr_Clear();
      fail(unexpected_keyword(signature, name));
    }
    const std::string_view text(utf8, static_cast<std::size_t>(size));
    const auto parameter = std::ranges::find(signature.parameters, text);
    if (parameter == signature.parameters.end()) fail(unexpected_keyword(signature, name));
    PyObject*& slot = slots[static_cast<std::size_t>(parameter - signature.parameters.begin())];
    if (slot != nullptr) fail(multiple_values(signature, text));
    slot = args[nargs + i];
  }

  std::vector<std::string_view> missing;
  for (std::size_t j = 0; j < count; ++j) {
    if (slots[j] == nullptr) missing.push_back(signature.parameters[j]);
  }
  if (!missing.empty()) {
    fail(fill_text(kMissingArguments, {{"call", display_name(signature)},
                                       {"count", std::to_string(missing.size())},
                                       {"noun", missing.size() == 1 ? "argument" : "arguments"},
                                       {"names", quote_name_list(missing)}}));
  }
}

BindingError annotate_argument_error(std::string_view parameter_name, BindingError error) {
  PyObject* caught = error.normalize();
  if (Py_TYPE(caught) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return error;

  std::string text;
  if (OwnedRef str{PyObject_Str(caught)}) {
    text = lossy_utf8(str.get());
  } else {
    PyErr_WriteUnraisable(caught);
    OwnedRef type_name(PyType_GetName(Py_TYPE(caught)));
    const char* utf8 = type_name ? PyUnicode_AsUTF8(type_name.get()) : nullptr;
    if (utf8 != nullptr) {
      text = fill_text(kUnprintableError, {{"type", utf8}});
    } else {
      PyErr_Clear();
      text = kUnprintableErrorOfUnknownType;
    }
  }
  BindingError annotated =
      BindingError::lazy(PyExc_TypeError, fill_text(kArgumentError, {{"name", parameter_name}, {"text", text}}));
  PyObject* instance = annotated.normalize();
  // SetCause steals a reference and marks __suppress_context__ True, also for NULL.
  PyException_SetCause(instance, PyException_GetCause(caught));
  return annotated;
}

}  // namespace velk

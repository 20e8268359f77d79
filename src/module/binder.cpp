#include "module/binder.h"

#include <vector>

#include "module/fixed_texts.h"
#include "module/text.h"

namespace velk {
namespace {

[[noreturn]] void fail(std::string message) { throw BindingError::lazy(PyExc_TypeError, std::move(message)); }

std::string missing_message(const CallSignature& signature, const std::vector<std::string_view>& names,
                            const char* kind) {
  return fill_text(kMissingArguments, {{"call", display_name(signature)},
                                       {"count", std::to_string(names.size())},
                                       {"kind", kind},
                                       {"noun", names.size() == 1 ? "argument" : "arguments"},
                                       {"names", quote_name_list(names)}});
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

std::string display_name(const CallSignature& signature) {
  std::string name;
  if (!signature.owner.empty()) {
    name.append(signature.owner);
    name.push_back('.');
  }
  name.append(signature.name);
  name.append("()");
  return name;
}

std::string quote_name_list(std::span<const std::string_view> names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out.append(",");
      if (i + 1 == names.size()) {
        out.append(" and ");
      } else {
        out.append(" ");
      }
    }
    out.append("'").append(names[i]).append("'");
  }
  return out;
}

void bind_arguments(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots) {
  const std::size_t positional_count = signature.positional.size();
  const auto given = static_cast<std::size_t>(nargs);

  if (args != nullptr) {
    for (std::size_t i = 0; i < std::min(given, positional_count); ++i) slots[i] = args[i];
  }
  if (given > positional_count) {
    fail(fill_text(signature.required_count == positional_count ? kTooManyPositional : kTooManyPositionalRange,
                   {{"call", display_name(signature)},
                    {"required", std::to_string(signature.required_count)},
                    {"count", std::to_string(positional_count)},
                    {"given", std::to_string(given)},
                    {"verb", given == 1 ? "was" : "were"}}));
  }

  std::vector<std::string_view> positional_only_by_keyword;
  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < keyword_count; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    PyObject* value = args[nargs + i];
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) {
      PyErr_Clear();
      fail(unexpected_keyword(signature, name));
    }
    const std::string_view text(utf8, static_cast<std::size_t>(size));

    bool placed = false;
    for (std::size_t t = 0; t < signature.keyword_only.size() && !placed; ++t) {
      if (signature.keyword_only[t].name != text) continue;
      PyObject*& slot = slots[positional_count + t];
      if (slot != nullptr) fail(multiple_values(signature, text));
      slot = value;
      placed = true;
    }
    for (std::size_t j = 0; j < positional_count && !placed; ++j) {
      if (signature.positional[j] != text) continue;
      if (j < signature.positional_only_count) {
        positional_only_by_keyword.push_back(signature.positional[j]);
      } else if (slots[j] != nullptr) {
        fail(multiple_values(signature, text));
      } else {
        slots[j] = value;
      }
      placed = true;
    }
    if (!placed) fail(unexpected_keyword(signature, name));
  }

  if (!positional_only_by_keyword.empty()) {
    fail(fill_text(kPositionalOnlyByKeyword,
                   {{"call", display_name(signature)}, {"names", quote_name_list(positional_only_by_keyword)}}));
  }

  if (given < signature.required_count) {
    std::vector<std::string_view> missing;
    for (std::size_t j = 0; j < signature.required_count; ++j) {
      if (slots[j] == nullptr) missing.push_back(signature.positional[j]);
    }
    if (!missing.empty()) fail(missing_message(signature, missing, "positional"));
  }

  std::vector<std::string_view> missing_keywords;
  for (std::size_t t = 0; t < signature.keyword_only.size(); ++t) {
    if (signature.keyword_only[t].required && slots[positional_count + t] == nullptr) {
      missing_keywords.push_back(signature.keyword_only[t].name);
    }
  }
  if (!missing_keywords.empty()) fail(missing_message(signature, missing_keywords, "keyword"));
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

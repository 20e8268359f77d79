#include "binding/binding_error.h"

#include <cstdio>
#include <utility>

#include "binding/fixed_texts.h"
#include "binding/message_text.h"
#include "binding/panic_policy.h"
#include "similarity/panic.h"

namespace velk {

void python_api_call_failed(std::source_location where) {
  // Printing needs memory too: short of it, PyErr_Print runs sys.excepthook,
  // sets sys.last_exc and dumps "lost sys.stderr" blocks, and the panic's own
  // exception then fails to be made. The MemoryError is the answer the caller
  // can act on.
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw BindingError::take_memory_error();
  PyErr_Print();
  panic(kPythonApiCallFailed, where);
}

OwnedRef checked_new(PyObject* object, std::source_location where) {
  if (object == nullptr) python_api_call_failed(where);
  return OwnedRef(object);
}

BindingError BindingError::lazy(PyObject* type, std::string message) {
  BindingError error;
  error.type_ = type;
  error.message_ = std::move(message);
  return error;
}

BindingError BindingError::type_mismatch(PyObject* obj, const char* target) {
  BindingError error;
  error.type_ = PyExc_TypeError;
  error.mismatch_type_ = OwnedRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  error.mismatch_target_ = target;
  return error;
}

std::optional<BindingError> BindingError::take() {
  OwnedRef raised(PyErr_GetRaisedException());
  if (!raised) return std::nullopt;
  PyObject* const panic_class = own_panic_class();
  if (panic_class == nullptr || reinterpret_cast<PyObject*>(Py_TYPE(raised.get())) != panic_class) {
    BindingError error;
    error.instance_ = std::move(raised);
    return error;
  }
  // A panic of ours went out through Python code (say, a __float__ that re-raised
  // a caught PanicException) and came back: keep it a panic, do not let it turn
  // into an ordinary error.
  std::string message = kUnwrappedPanic;
  if (OwnedRef text{PyObject_Str(raised.get())}) {
    message = lossy_utf8(text.get());
  } else {
    PyErr_Clear();
  }
  std::fprintf(stderr, "%s\n%s\n", kResumingPanic, kPythonStackTraceBelow);
  std::fflush(stderr);
  PyErr_SetRaisedException(raised.release());
  PyErr_PrintEx(0);
  resume_panic(std::move(message));
}

BindingError BindingError::take_memory_error() {
  BindingError error;
  error.instance_ = OwnedRef(PyErr_GetRaisedException());
  return error;
}

BindingError BindingError::fetch() {
  if (auto error = take()) return std::move(*error);
  return lazy(PyExc_SystemError, kNothingToFetch);
}

void BindingError::raise_lazy() {
  if (!PyExceptionClass_Check(type_)) {
    PyErr_SetString(PyExc_TypeError, kNotAnExceptionClass);
    return;
  }
  std::string message = message_;
  if (mismatch_type_) {
    const std::string type_name =
        type_qualname(reinterpret_cast<PyTypeObject*>(mismatch_type_.get())).value_or(kTypeNameUnknown);
    message = fill_text(kTypeMismatch, {{"type", type_name}, {"target", mismatch_target_}});
  }
  OwnedRef text = new_str(message);
  if (type_ == own_panic_class()) {
    OwnedRef args = checked_new(PyTuple_Pack(1, text.get()));
    PyErr_SetObject(type_, args.get());
  } else {
    PyErr_SetObject(type_, text.get());
  }
}

void BindingError::restore(BindingError error) {
  if (error.instance_) {
    PyErr_SetRaisedException(error.instance_.release());
  } else {
    error.raise_lazy();
  }
}

PyObject* BindingError::normalize() {
  if (!instance_) {
    raise_lazy();
    instance_ = OwnedRef(PyErr_GetRaisedException());
    if (!instance_) panic("an exception was raised but could not be taken back");
  }
  return instance_.get();
}

}  // namespace velk

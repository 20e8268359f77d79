// _velk's panic policy (binding/panic_policy.h).
#include "module/panic_exception.h"

#include <string>
#include <utility>

#include "binding/message_text.h"
#include "binding/panic_policy.h"
#include "module/fixed_texts.h"
#include "similarity/panic.h"

namespace velk {
namespace {

// Process-wide, never released. Guarded by the interpreter lock.
PyObject* panic_exception_class = nullptr;

std::string describe(PyObject* exception) {
  OwnedRef text(PyObject_Str(exception));
  if (!text) {
    PyErr_Clear();
    return "<unprintable exception>";
  }
  const char* type_name = Py_TYPE(exception)->tp_name;
  return std::string(type_name) + ": " + lossy_utf8(text.get());
}

}  // namespace

PyObject* panic_exception_type() {
  if (panic_exception_class != nullptr) return panic_exception_class;
  PyObject* made = PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc, PyExc_BaseException, nullptr);
  if (made == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw BindingError::take_memory_error();
    OwnedRef error(PyErr_GetRaisedException());
    panic(std::string(kPanicClassFailed) + ": " + (error ? describe(error.get()) : "no exception was set"));
  }
  // Making the class can run Python code, so another thread may have stored one
  // meanwhile: the first stored class wins.
  if (panic_exception_class != nullptr) {
    Py_DECREF(made);
  } else {
    panic_exception_class = made;
  }
  return panic_exception_class;
}

BindingError panic_error(std::string message) { return BindingError::lazy(panic_exception_type(), std::move(message)); }

PyObject* own_panic_class() noexcept { return panic_exception_class; }

}  // namespace velk

#include "binding/interpreter_unlock.h"

#include <pythread.h>

namespace velk {

bool runs_signal_handlers() noexcept {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) return false;
  // threading.main_thread() follows a fork from another thread, as CPython's
  // handlers do.
  OwnedRef threading(PyImport_ImportModule("threading"));
  OwnedRef main = threading ? OwnedRef(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : OwnedRef();
  OwnedRef ident = main ? OwnedRef(PyObject_GetAttrString(main.get(), "ident")) : OwnedRef();
  const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : static_cast<unsigned long>(-1);
  // Not knowing means not this thread: the search runs on, uninterrupted.
  if (PyErr_Occurred() != nullptr) PyErr_Clear();
  return ident && value == PyThread_get_thread_ident();
}

}  // namespace velk

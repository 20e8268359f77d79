#include "binding/interpreter_unlock.h"

#include <pythread.h>

#include <limits>

namespace velk {

int runs_signal_handlers() noexcept {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) return 0;
  // threading.main_thread() follows a fork from another thread, as CPython's
  // handlers do.
  // From sys.modules when it is there (it nearly always is): an import takes
  // locks that a fork from another thread could leave held in a child.
  OwnedRef name(PyUnicode_FromString("threading"));
  if (!name) return -1;
  OwnedRef threading(PyImport_GetModule(name.get()));
  if (!threading && PyErr_Occurred() == nullptr) threading = OwnedRef(PyImport_Import(name.get()));
  if (!threading) return -1;
  OwnedRef main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  if (!main) return -1;
  OwnedRef ident(PyObject_GetAttrString(main.get(), "ident"));
  if (!ident) return -1;
  const unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (value == std::numeric_limits<unsigned long>::max() && PyErr_Occurred() != nullptr) return -1;
  return value == PyThread_get_thread_ident() ? 1 : 0;
}

}  // namespace velk

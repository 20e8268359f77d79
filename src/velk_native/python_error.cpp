#include "velk_native/python_error.h"

#include <exception>
#include <new>

#include "similarity/panic.h"

namespace velk {

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError& error) {
    PyErr_SetString(error.type, error.message.c_str());
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "velk._native: a Python call failed without setting an exception");
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const Panic& failure) {
    // The core already wrote its report to standard error where it failed.
    PyErr_SetString(PyExc_RuntimeError, failure.message().c_str());
  } catch (const std::exception& other) {
    PyErr_SetString(PyExc_RuntimeError, other.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "velk._native: native code failed with an unknown exception");
  }
}

}  // namespace velk

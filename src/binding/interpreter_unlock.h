// Running native work while other Python threads run.
#pragma once

#include <exception>
#include <utility>

#include "binding/binding_error.h"
#include "binding/owned_ref.h"
#include "similarity/worker_pool.h"

namespace velk {

// Other Python threads run while this lives; the lock is taken back when it
// goes out of scope, on every path. Nothing that touches an interpreter object
// may run inside it.
class InterpreterUnlocked {
 public:
  InterpreterUnlocked() noexcept : state_(PyEval_SaveThread()) {}
  ~InterpreterUnlocked() { PyEval_RestoreThread(state_); }
  InterpreterUnlocked(const InterpreterUnlocked&) = delete;
  InterpreterUnlocked& operator=(const InterpreterUnlocked&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `work` without the interpreter lock. A failure is carried out of the
// unlocked scope and thrown again only once the lock is held, where the entry
// frame can turn it into a Python exception.
template <class Work>
void run_without_interpreter_lock(Work&& work) {
  std::exception_ptr failure;
  {
    const InterpreterUnlocked unlocked;
    try {
      std::forward<Work>(work)();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

// Whether the calling thread (which holds the interpreter lock) is the one that
// runs Python's signal handlers, the main thread of the main interpreter: 1 or
// 0, or -1 with the exception pending when finding out raised one. It runs
// Python code, and so may run a pending handler that raises.
int runs_signal_handlers() noexcept;

// As run_without_interpreter_lock, with `work` given a stop check for the core
// that lets signal handlers run while it waits. On the thread that runs them,
// the check takes the lock back for a moment, runs the pending handlers, and
// answers true when one raised; the core then stops the work with Stopped and
// the handler's exception is raised here, once the lock is held for good. On
// any other thread it answers false without touching the interpreter (its
// first answer, the only one that takes the lock, finds which thread it is).
template <class Work>
void run_interruptibly_without_interpreter_lock(Work&& work) {
  std::exception_ptr failure;
  OwnedRef raised;  // released with the lock held, after the scope
  {
    PyThreadState* state = PyEval_SaveThread();
    enum class Handlers { kUnknown, kHere, kElsewhere } handlers = Handlers::kUnknown;
    const auto signals_raised = [&]() noexcept {
      if (handlers == Handlers::kElsewhere) return false;
      PyEval_RestoreThread(state);
      // An exception from finding out is most likely a handler's, and is
      // raised like one: never dropped.
      if (handlers == Handlers::kUnknown) {
        handlers = runs_signal_handlers() == 0 ? Handlers::kElsewhere : Handlers::kHere;
      }
      const bool stop = PyErr_Occurred() != nullptr || (handlers == Handlers::kHere && PyErr_CheckSignals() != 0);
      if (stop) raised = OwnedRef(PyErr_GetRaisedException());
      state = PyEval_SaveThread();
      return stop;
    };
    const StopCheck check(signals_raised);
    try {
      std::forward<Work>(work)(check);
    } catch (...) {
      failure = std::current_exception();
    }
    PyEval_RestoreThread(state);
  }
  // A handler's exception wins over the Stopped it caused, and over any
  // failure of the work after it: the caller asked to stop.
  if (raised) {
    PyErr_SetRaisedException(raised.release());
    throw BindingError::fetch();
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace velk

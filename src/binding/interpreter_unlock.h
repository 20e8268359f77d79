// Running native work while other Python threads run.
#pragma once

#include <exception>
#include <utility>

#include "binding/owned_ref.h"

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

}  // namespace velk

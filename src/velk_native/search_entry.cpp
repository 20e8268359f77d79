#include "velk_native/search_entry.h"

#include <algorithm>
#include <exception>
#include <string>

#include "similarity/search.h"
#include "velk_native/array_view.h"
#include "velk_native/python_error.h"

namespace velk {
namespace {

// Other Python threads run while this lives; the lock is taken back when it
// goes out of scope, on every path. Nothing that touches an interpreter
// object may run inside it.
class InterpreterUnlocked {
 public:
  InterpreterUnlocked() noexcept : state_(PyEval_SaveThread()) {}
  ~InterpreterUnlocked() { PyEval_RestoreThread(state_); }
  InterpreterUnlocked(const InterpreterUnlocked&) = delete;
  InterpreterUnlocked& operator=(const InterpreterUnlocked&) = delete;

 private:
  PyThreadState* state_;
};

void require_arguments(const char* function, Py_ssize_t expected, Py_ssize_t given) {
  if (given != expected) {
    throw PythonError{PyExc_TypeError, std::string(function) + "() takes exactly " + std::to_string(expected) +
                                           " positional arguments (" + std::to_string(given) + " given)"};
  }
}

std::uint64_t to_count(PyObject* obj) {
  OwnedRef index(PyNumber_Index(obj));
  if (!index) throw PythonErrorSet{};
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
  return value;
}

void require_columns(const ArrayView& embeddings) {
  if (embeddings.columns() == 0) {
    throw PythonError{PyExc_ValueError, "embeddings must have at least one column: every row needs a dim of 1 or more"};
  }
}

void require_shape(const ArrayView& view, const char* name, std::uint64_t rows, std::uint64_t columns) {
  if (view.rows() != rows || view.columns() != columns) {
    throw PythonError{PyExc_ValueError, std::string(name) + " must have shape (" + std::to_string(rows) + ", " +
                                            std::to_string(columns) + "), not (" + std::to_string(view.rows()) +
                                            ", " + std::to_string(view.columns()) + ")"};
  }
}

OwnedRef none() { return OwnedRef::borrow(Py_None); }

}  // namespace

PyObject* embeddings_shape_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return run_native_entry([&] {
    require_arguments("embeddings_shape", 1, nargs);
    const ArrayView embeddings(args[0], "embeddings", false);
    embeddings.require_matrix(ItemType::float32);
    require_columns(embeddings);
    OwnedRef shape(Py_BuildValue("(KK)", static_cast<unsigned long long>(embeddings.rows()),
                                 static_cast<unsigned long long>(embeddings.columns())));
    if (!shape) throw PythonErrorSet{};
    return shape;
  });
}

PyObject* search_into_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return run_native_entry([&] {
    require_arguments("search_into", 6, nargs);
    // Every check and every buffer comes first, while the lock is held.
    const ArrayView embeddings(args[1], "embeddings", false);
    embeddings.require_matrix(ItemType::float32);
    require_columns(embeddings);
    const std::uint64_t dim = embeddings.columns();
    const ArrayView queries(args[0], "queries", false);
    queries.require_matrix(ItemType::float32);
    require_shape(queries, "queries", queries.rows(), dim);
    const std::uint64_t k = to_count(args[2]);
    const std::uint64_t threads = to_count(args[3]);
    const std::uint64_t width = std::min(k, embeddings.rows());
    const ArrayView scores(args[4], "scores", true);
    scores.require_matrix(ItemType::float32);
    require_shape(scores, "scores", queries.rows(), width);
    const ArrayView indices(args[5], "indices", true);
    indices.require_matrix(ItemType::int64);
    require_shape(indices, "indices", queries.rows(), width);

    const QuerySet set{queries.floats(), embeddings.floats(), dim, k, threads};
    const ResultRows results{scores.mutable_floats(), indices.mutable_int64s()};
    // A failure of the core is carried out of the unlocked scope and turned
    // into a Python exception only once the lock is held again.
    std::exception_ptr failure;
    {
      const InterpreterUnlocked unlocked;
      try {
        search_queries(set, results);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) std::rethrow_exception(failure);
    return none();
  });
}

}  // namespace velk

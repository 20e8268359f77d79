#include "velk_native/search_entry.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "binding/binding_error.h"
#include "binding/entry_frame.h"
#include "binding/interpreter_unlock.h"
#include "binding/message_text.h"
#include "similarity/panic.h"
#include "similarity/search.h"
#include "velk_native/array_view.h"

namespace velk {
namespace {

void require_argument_count(Py_ssize_t given) {
  if (given != 8) {
    throw BindingError::lazy(PyExc_TypeError,
                             "search() takes exactly 8 positional arguments (" + std::to_string(given) + " given)");
  }
}

// The storage argument: None, when the buffer's format tells the type, or
// "bfloat16" for 2-byte unsigned items holding bfloat16 bits (numpy has no
// format code for bfloat16, so velk.search passes a uint16 view of such arrays).
bool holds_bfloat16(PyObject* storage) {
  if (storage == Py_None) return false;
  if (PyUnicode_Check(storage) && PyUnicode_CompareWithASCIIString(storage, "bfloat16") == 0) return true;
  OwnedRef text = checked_new(PyObject_Repr(storage));
  throw BindingError::lazy(PyExc_TypeError, "storage must be None or 'bfloat16', not " + lossy_utf8(text.get()));
}

// The candidates as velk.search hands them over, already checked against the
// caller's input there: a (1 or nq, n) bool filter, or every list's row
// numbers one after another (ascending, none twice) with 1 or nq + 1 offsets.
// Checked again here, since the core reads them unchecked.
class CandidateViews {
 public:
  CandidateViews(PyObject* where, PyObject* rows, PyObject* offsets, std::uint64_t queries, std::uint64_t n) {
    if (where != Py_None && rows != Py_None) refuse("where and rows cannot both be given");
    if (where != Py_None) take_filter(where, queries, n);
    if (rows != Py_None) take_lists(rows, offsets, queries, n);
  }

  const Candidates& candidates() const noexcept { return candidates_; }

 private:
  [[noreturn]] static void refuse(const std::string& message) { throw BindingError::lazy(PyExc_ValueError, message); }

  void take_filter(PyObject* where, std::uint64_t queries, std::uint64_t n) {
    where_.emplace(where, "where");
    if (!where_->is_plain(2, "?", 1) || where_->extent(1) != n ||
        (where_->extent(0) != 1 && where_->extent(0) != queries)) {
      refuse("where must be a C-contiguous bool array of shape (1, n) or (nq, n)");
    }
    candidates_.mask = static_cast<const std::uint8_t*>(where_->data());
    candidates_.mask_stride = where_->extent(0) == 1 ? 0 : n;
  }

  void take_lists(PyObject* rows, PyObject* offsets, std::uint64_t queries, std::uint64_t n) {
    rows_.emplace(rows, "rows");
    offsets_.emplace(offsets, "offsets");
    if (!rows_->is_plain(1, "lq", 8) || !offsets_->is_plain(1, "lq", 8)) {
      refuse("rows and offsets must be C-contiguous 1-D int64 arrays");
    }
    if (offsets_->extent(0) < 1) refuse("offsets must have 2 or nq + 1 entries");
    const std::uint64_t lists = offsets_->extent(0) - 1;
    if (lists != 1 && lists != queries) refuse("offsets must have 2 or nq + 1 entries");
    const auto* numbers = static_cast<const std::int64_t*>(rows_->data());
    const auto* bounds = static_cast<const std::int64_t*>(offsets_->data());
    if (bounds[0] != 0 || std::cmp_not_equal(bounds[lists], rows_->extent(0))) refuse("offsets must span rows");
    for (std::uint64_t l = 0; l < lists; ++l) {
      if (bounds[l + 1] < bounds[l]) refuse("offsets must not decrease");
      for (std::int64_t i = bounds[l]; i < bounds[l + 1]; ++i) {
        const bool ascends = i == bounds[l] || numbers[i] > numbers[i - 1];
        if (numbers[i] < 0 || std::cmp_greater_equal(numbers[i], n) || !ascends) {
          refuse("each list of rows must ascend strictly within 0 .. n - 1");
        }
      }
    }
    // int64 and uint64 share their representation for these values.
    candidates_.rows = static_cast<const std::uint64_t*>(rows_->data());
    candidates_.offsets = static_cast<const std::uint64_t*>(offsets_->data());
    candidates_.lists_per_query = lists != 1 || queries == 1;
  }

  std::optional<ArrayView> where_;
  std::optional<ArrayView> rows_;
  std::optional<ArrayView> offsets_;
  Candidates candidates_;
};

void require_columns(const ArrayView& embeddings) {
  if (embeddings.columns() == 0) {
    throw BindingError::lazy(PyExc_ValueError,
                             "embeddings must have at least one column: every row needs a dim of 1 or more");
  }
}

void require_dim(const ArrayView& queries, std::uint64_t dim) {
  if (queries.columns() != dim) {
    throw BindingError::lazy(PyExc_ValueError, "queries have " + std::to_string(queries.columns()) +
                                                   " columns but the embeddings have dim " + std::to_string(dim) +
                                                   "; each query needs exactly dim values");
  }
}

// How k and threads are read: any int (or __index__) of at least `minimum`;
// values past 2**63 mean "all", as any count past the rows or the pool does.
struct CountRule {
  const char* not_an_int;  // the given type's name follows
  const char* too_small;   // the given value follows
  long long minimum;
};
constexpr CountRule kHitsRule{"k must be an int, not ", "k must be 0 or more, not ", 0};
constexpr CountRule kThreadsRule{"threads must be None or an int, not ", "threads must be None or 1 or more, not ", 1};

std::uint64_t to_bounded_count(PyObject* obj, const CountRule& rule) {
  OwnedRef index(PyNumber_Index(obj));
  if (!index) {
    // A TypeError from __index__ is refused the same way; anything else passes.
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw BindingError::fetch();
    PyErr_Clear();
    throw BindingError::lazy(PyExc_TypeError,
                             rule.not_an_int + type_qualname(Py_TYPE(obj)).value_or(Py_TYPE(obj)->tp_name));
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw BindingError::fetch();
  if (overflow > 0) return std::numeric_limits<std::uint64_t>::max();
  if (overflow < 0 || value < rule.minimum) {
    OwnedRef text = checked_new(PyObject_Str(index.get()));
    throw BindingError::lazy(PyExc_ValueError, rule.too_small + lossy_utf8(text.get()));
  }
  return static_cast<std::uint64_t>(value);
}

// A new C-contiguous (rows, columns) array from numpy.empty, and where its items are.
template <class Item>
std::pair<OwnedRef, Item*> new_array(PyObject* empty, PyObject* dtype, std::uint64_t rows, std::uint64_t columns) {
  OwnedRef shape = checked_new(
      Py_BuildValue("(KK)", static_cast<unsigned long long>(rows), static_cast<unsigned long long>(columns)));
  OwnedRef array(PyObject_CallFunctionObjArgs(empty, shape.get(), dtype, nullptr));
  if (!array) throw BindingError::fetch();
  Py_buffer view;
  if (PyObject_GetBuffer(array.get(), &view, PyBUF_CONTIG) == -1) throw BindingError::fetch();
  auto* items = static_cast<Item*>(view.buf);
  const bool as_asked =
      std::cmp_equal(view.itemsize, sizeof(Item)) && std::cmp_equal(view.len, rows * columns * sizeof(Item));
  // The array owns its memory and nobody else holds the array before it is
  // returned, so the items stay where they are after the view is released.
  PyBuffer_Release(&view);
  if (!as_asked) panic("numpy.empty made an array of another size than asked");
  return {std::move(array), items};
}

}  // namespace

PyObject* search_entry(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  return run_entry([&] {
    require_argument_count(nargs);
    // The embeddings first: their refusals come before those of the queries.
    const bool bfloat16 = holds_bfloat16(args[7]);
    ArrayView embeddings(args[1], "embeddings");
    const Storage storage = embeddings.require_collection(bfloat16);
    require_columns(embeddings);
    const std::uint64_t dim = embeddings.columns();
    const ArrayView queries(args[0], "queries");
    queries.require_float32_matrix();
    require_dim(queries, dim);
    const std::uint64_t k = to_bounded_count(args[2], kHitsRule);
    const std::uint64_t threads = args[3] == Py_None ? 0 : to_bounded_count(args[3], kThreadsRule);
    const CandidateViews candidates(args[4], args[5], args[6], queries.rows(), embeddings.rows());

    const auto& numpy = *static_cast<const NumpyArrayMaker*>(PyModule_GetState(module));
    const std::uint64_t width = std::min(k, embeddings.rows());
    const auto scores = new_array<float>(numpy.empty, numpy.float32, queries.rows(), width);
    const auto indices = new_array<std::int64_t>(numpy.empty, numpy.int64, queries.rows(), width);
    // Row q of the results: the min(k, rows) best hits of query q, padded with
    // index -1 and score -inf.
    // Ctrl-C and other signal handlers run while the core works; one that
    // raises stops the search and its exception is raised here. A pool that
    // cannot start is told by the RuntimeError alone: the report on standard
    // error is _velk's way, not velk's.
    run_interruptibly_without_interpreter_lock([&](const StopCheck& stop) {
      search_queries(QuerySet{queries.floats(), Collection{embeddings.data(), storage, embeddings.rows(), dim}, k,
                              threads, candidates.candidates(), &stop, false},
                     ResultRows{scores.second, indices.second});
    });
    return checked_new(PyTuple_Pack(2, scores.first.get(), indices.first.get()));
  });
}

}  // namespace velk

#include "module/conversions.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

#include "binding/fixed_texts.h"
#include "module/fixed_texts.h"
#include "similarity/float_conversion.h"
#include "similarity/panic.h"

namespace velk {
namespace {

void refuse_str(PyObject* obj) {
  if (PyUnicode_Check(obj)) throw BindingError::lazy(PyExc_TypeError, kStrToVec);
}

// Any other sequence's __len__ may lie, so its hint reserves at most this many
// items and growth covers the rest.
constexpr std::size_t kUnverifiedHintLimit = std::size_t{1} << 20;

// Reserves room for the sequence's reported length. The length is only a hint:
// a __len__ that raises or lies changes nothing else, and a hint the allocator
// cannot satisfy leaves the vector to grow as items arrive. Only exact lists and
// tuples are trusted in full: their length is exact and their own storage is
// already larger than the copy. A lying __len__ of 2**60 must not turn into an
// exabyte request, which some allocators answer by ending the process.
template <class Vector>
void reserve_for_length_hint(Vector& out, PyObject* obj) {
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    (void)BindingError::fetch();
    return;
  }
  constexpr auto max_bytes = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
  if (static_cast<std::size_t>(hint) > max_bytes / sizeof(typename Vector::value_type)) {
    panic(kCapacityOverflow);
  }
  auto wanted = static_cast<std::size_t>(hint);
  if (!PyList_CheckExact(obj) && !PyTuple_CheckExact(obj)) wanted = std::min(wanted, kUnverifiedHintLimit);
  try {
    out.reserve(wanted);
  } catch (const std::bad_alloc&) {  // NOLINT(bugprone-empty-catch): only a hint; the vector grows as items come
  }
}

// Calls convert(item) for every item of a sequence that passed the sequence
// check. Exact lists and tuples are walked by index, which is what their
// iterators do; everything else goes through the iterator protocol.
template <class Convert>
void for_each_item(PyObject* obj, Convert&& convert) {
  if (PyList_CheckExact(obj)) {
    // The size is read again each round: item conversions may run Python code
    // that changes the list, exactly as the list iterator would see it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
      OwnedRef item = OwnedRef::borrow(PyList_GET_ITEM(obj, i));
      convert(item.get());
    }
    return;
  }
  if (PyTuple_CheckExact(obj)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) convert(PyTuple_GET_ITEM(obj, i));
    return;
  }
  OwnedRef iterator(PyObject_GetIter(obj));
  if (!iterator) throw BindingError::fetch();
  while (OwnedRef item{PyIter_Next(iterator.get())}) convert(item.get());
  if (PyErr_Occurred()) throw BindingError::fetch();
}

std::vector<float> sequence_to_floats(PyObject* obj) {
  if (!PySequence_Check(obj)) throw type_mismatch_error(obj, kSequenceTarget);
  std::vector<float> out;
  reserve_for_length_hint(out, obj);
  if (PyList_CheckExact(obj)) {
    // The common case, a list of exact floats, in one tight loop. Reading an
    // exact float runs no Python code, so the list cannot change meanwhile and
    // the borrowed item needs no reference of its own; any other item is held
    // while its conversion runs, and the size is read again each round. For the
    // same reason the floating-point environment is tested once, and again only
    // after an item whose conversion could run code that changes it.
    bool hardware_exact = hardware_narrowing_exact();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
      PyObject* item = PyList_GET_ITEM(obj, i);
      if (PyFloat_CheckExact(item)) {
        out.push_back(narrow_to_float32(PyFloat_AS_DOUBLE(item), hardware_exact));
      } else {
        const OwnedRef held = OwnedRef::borrow(item);
        out.push_back(to_float32(held.get()));
        hardware_exact = hardware_narrowing_exact();
      }
    }
    return out;
  }
  for_each_item(obj, [&out](PyObject* item) { out.push_back(to_float32(item)); });
  return out;
}

}  // namespace

BindingError type_mismatch_error(PyObject* obj, const char* target) { return BindingError::type_mismatch(obj, target); }

float to_float32(PyObject* obj) {
  double value;
  if (PyFloat_CheckExact(obj)) {
    value = PyFloat_AS_DOUBLE(obj);
  } else {
    value = PyFloat_AsDouble(obj);
    if (value == -1.0) {
      if (auto error = BindingError::take()) throw std::move(*error);
    }
  }
  return narrow_to_float32(value);
}

std::vector<float> to_float_vector(PyObject* obj) {
  refuse_str(obj);
  return sequence_to_floats(obj);
}

std::vector<std::vector<float>> to_float_rows(PyObject* obj) {
  refuse_str(obj);
  if (!PySequence_Check(obj)) throw type_mismatch_error(obj, kSequenceTarget);
  std::vector<std::vector<float>> rows;
  reserve_for_length_hint(rows, obj);
  for_each_item(obj, [&rows](PyObject* item) {
    refuse_str(item);
    rows.push_back(sequence_to_floats(item));
  });
  return rows;
}

OwnedRef score_to_float(float score) { return checked_new(PyFloat_FromDouble(widen_to_double(score))); }

OwnedRef hits_to_list(std::span<const ScoredHit> hits) {
  OwnedRef list = checked_new(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  for (std::size_t i = 0; i < hits.size(); ++i) {
    OwnedRef index = checked_new(PyLong_FromUnsignedLongLong(hits[i].index));
    OwnedRef score = score_to_float(hits[i].score);
    OwnedRef pair = checked_new(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, index.release());
    PyTuple_SET_ITEM(pair.get(), 1, score.release());
    // Slots not yet filled are null, which the list's release skips, so a
    // failure part-way frees exactly what was made.
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair.release());
  }
  return list;
}

}  // namespace velk

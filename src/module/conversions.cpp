#include "module/conversions.h"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "similarity/panic.h"

namespace velk {
namespace {

constexpr const char* kStrToVec = "Can't extract `str` to `Vec`";

// Narrowing and widening run on the calling thread, in whatever floating-point
// environment the caller left (another library may have set a directed rounding
// mode, or flush-to-zero and denormals-are-zero). A hardware conversion would
// follow that environment, and scores must not depend on it, so outside the
// default environment both are done on the bits.

#if defined(__x86_64__)
// MXCSR without its status flags: every exception masked, round to nearest, no
// flush-to-zero, no denormals-are-zero.
constexpr unsigned kControlBits = 0xFFC0;
constexpr unsigned kDefaultControl = 0x1F80;
#endif

// IEEE double to single precision, round to nearest with ties to even. A NaN
// keeps its sign and the top of its payload and is quieted, as the hardware does.
float narrow_to_float(double value) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const auto sign = static_cast<std::uint32_t>(bits >> 32) & 0x80000000u;
  const auto exponent = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  if (exponent == 0x7FF) {
    const auto payload = fraction == 0 ? 0u : 0x00400000u | static_cast<std::uint32_t>(fraction >> 29);
    return std::bit_cast<float>(sign | 0x7F800000u | payload);
  }
  const int unbiased = exponent - 1023;
  if (unbiased > 127) return std::bit_cast<float>(sign | 0x7F800000u);
  if (exponent == 0 || unbiased < -151) return std::bit_cast<float>(sign);  // below half the least subnormal
  // Keep 24 significant bits for a normal result, fewer for a subnormal one.
  const std::uint64_t significand = fraction | (std::uint64_t{1} << 52);
  const int dropped = unbiased >= -126 ? 29 : 29 + (-126 - unbiased);
  std::uint64_t kept = significand >> dropped;
  const std::uint64_t rest = significand & ((std::uint64_t{1} << dropped) - 1);
  const std::uint64_t half = std::uint64_t{1} << (dropped - 1);
  // Branch-free: on real data the direction of the rounding is a coin toss.
  kept += static_cast<std::uint64_t>((rest > half) | ((rest == half) & ((kept & 1) != 0)));
  // A carry out of the significand moves into the exponent field by itself, up
  // to infinity at the top and from the subnormals into the normals at the bottom.
  const auto low = static_cast<std::uint32_t>(kept);
  const std::uint32_t magnitude =
      unbiased >= -126 ? (static_cast<std::uint32_t>(unbiased + 126) << 23) + low : low;
  return std::bit_cast<float>(sign | magnitude);
}

// Single to double precision; exact. Only a subnormal needs care: with
// denormals-are-zero the hardware would read it as zero.
double widen_to_double(float value) noexcept {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t fraction = bits & 0x007FFFFFu;
  if ((bits & 0x7F800000u) != 0 || fraction == 0) return static_cast<double>(value);
  // fraction * 2**-149, both steps exact and on normal doubles.
  const double magnitude = static_cast<double>(fraction) * 0x1p-149;
  return (bits & 0x80000000u) != 0 ? -magnitude : magnitude;
}

void refuse_str(PyObject* obj) {
  if (PyUnicode_Check(obj)) throw BindingError::lazy(PyExc_TypeError, kStrToVec);
}

// Reserves room for the sequence's reported length. The length is only a hint:
// a __len__ that raises or lies changes nothing else, and a hint the allocator
// cannot satisfy leaves the vector to grow as items arrive.
template <class Vector>
void reserve_for_length_hint(Vector& out, PyObject* obj) {
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    (void)BindingError::fetch();
    return;
  }
  constexpr auto max_bytes = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
  if (static_cast<std::size_t>(hint) > max_bytes / sizeof(typename Vector::value_type)) {
    panic("capacity overflow");
  }
  try {
    out.reserve(static_cast<std::size_t>(hint));
  } catch (const std::bad_alloc&) {
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

FloatVector sequence_to_floats(PyObject* obj) {
  if (!PySequence_Check(obj)) throw type_mismatch_error(obj, "Sequence");
  FloatVector out;
  reserve_for_length_hint(out, obj);
  for_each_item(obj, [&out](PyObject* item) { out.push_back(to_float32(item)); });
  return out;
}

}  // namespace

BindingError type_mismatch_error(PyObject* obj, const char* target) {
  return BindingError::type_mismatch(obj, target);
}

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
  // IEEE narrowing: round to nearest even, overflow to infinity, NaN and the
  // sign of zero kept.
#if defined(__x86_64__)
  // The hardware conversion is right whenever the environment is the default
  // one, which is nearly always; nothing between the test and the conversion
  // can change it.
  if ((_mm_getcsr() & kControlBits) == kDefaultControl) return static_cast<float>(value);
#endif
  return narrow_to_float(value);
}

FloatVector to_float_vector(PyObject* obj) {
  refuse_str(obj);
  return sequence_to_floats(obj);
}

std::vector<FloatVector> to_float_rows(PyObject* obj) {
  refuse_str(obj);
  if (!PySequence_Check(obj)) throw type_mismatch_error(obj, "Sequence");
  std::vector<FloatVector> rows;
  reserve_for_length_hint(rows, obj);
  for_each_item(obj, [&rows](PyObject* item) {
    refuse_str(item);
    rows.push_back(sequence_to_floats(item));
  });
  return rows;
}

std::uint64_t to_count(PyObject* obj) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    OwnedRef index(PyNumber_Index(obj));
    if (!index) throw BindingError::fetch();
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1)) {
    if (auto error = BindingError::take()) throw std::move(*error);
  }
  return value;
}

OwnedRef score_to_float(float score) {
  return checked_new(PyFloat_FromDouble(widen_to_double(score)));
}

OwnedRef hits_to_list(std::span<const ScoredHit> hits) {
  OwnedRef list = checked_new(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  for (std::size_t i = 0; i < hits.size(); ++i) {
    OwnedRef index = checked_new(PyLong_FromUnsignedLongLong(hits[i].index));
    OwnedRef score = score_to_float(hits[i].score);
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) python_api_call_failed();
    PyTuple_SET_ITEM(pair, 0, index.release());
    PyTuple_SET_ITEM(pair, 1, score.release());
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list;
}

}  // namespace velk

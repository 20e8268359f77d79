// Python objects to native values and back. Argument conversions copy, so the
// native value no longer depends on the Python object once converted.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "binding/binding_error.h"
#include "binding/owned_ref.h"
#include "similarity/ranking.h"
#include "similarity/search.h"

namespace velk {

// Any sequence except str, its items converted with to_float32.
std::vector<float> to_float_vector(PyObject* obj);
// A sequence (not str) of such sequences (not str).
std::vector<std::vector<float>> to_float_rows(PyObject* obj);
// A number narrowed to single precision, round to nearest even.
float to_float32(PyObject* obj);

// A new list of (index, score) tuples in the order of `hits`.
OwnedRef hits_to_list(std::span<const ScoredHit> hits);
// A new float equal to the score bit for bit.
OwnedRef score_to_float(float score);

// TypeError "'{type}' object cannot be converted to '{target}'".
BindingError type_mismatch_error(PyObject* obj, const char* target);

}  // namespace velk

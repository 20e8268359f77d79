// Each entry binds its arguments, converts them one after another in parameter
// order (the first failure ends the call), runs the core, releases the inputs
// and only then builds the result object.
#include "module/functions.h"

#include <array>
#include <string_view>

#include "binding/count.h"
#include "binding/entry_frame.h"
#include "module/arguments.h"
#include "module/buffer_view.h"
#include "module/conversions.h"
#include "similarity/cosine.h"
#include "similarity/float_environment.h"
#include "similarity/search.h"

namespace velk {
namespace {

constexpr std::array<std::string_view, 2> kCosineParameters{"a", "b"};
constexpr std::array<std::string_view, 3> kTopKParameters{"query", "embeddings", "k"};
constexpr std::array<std::string_view, 4> kFlatParameters{"query", "embeddings", "dim", "k"};

constexpr CallSignature kCosineSignature{"cosine_similarity", kCosineParameters};
constexpr CallSignature kTopKSignature{"top_k", kTopKParameters};
constexpr CallSignature kTopKFlatSignature{"top_k_flat", kFlatParameters};
constexpr CallSignature kTopKFlatNpSignature{"top_k_flat_np", kFlatParameters};

template <std::size_t N>
std::array<PyObject*, N> bind(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  std::array<PyObject*, N> slots{};
  bind_arguments(signature, args, nargs, kwnames, slots);
  return slots;
}

}  // namespace

PyObject* cosine_similarity_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_entry([&] {
    const auto slots = bind<2>(kCosineSignature, args, nargs, kwnames);
    float score;
    {
      const FloatVector a = convert_argument("a", slots[0], to_float_vector);
      const FloatVector b = convert_argument("b", slots[1], to_float_vector);
      const DefaultFloatEnvironment environment;
      score = cosine_similarity(a, b);
    }
    return score_to_float(score);
  });
}

PyObject* top_k_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_entry([&] {
    const auto slots = bind<3>(kTopKSignature, args, nargs, kwnames);
    std::vector<ScoredHit> hits;
    {
      const FloatVector query = convert_argument("query", slots[0], to_float_vector);
      const std::vector<FloatVector> rows = convert_argument("embeddings", slots[1], to_float_rows);
      const std::uint64_t k = convert_argument("k", slots[2], to_count);
      hits = nested_top_k(query, rows, k);
    }
    return hits_to_list(hits);
  });
}

PyObject* top_k_flat_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_entry([&] {
    const auto slots = bind<4>(kTopKFlatSignature, args, nargs, kwnames);
    std::vector<ScoredHit> hits;
    {
      const FloatVector query = convert_argument("query", slots[0], to_float_vector);
      const FloatVector embeddings = convert_argument("embeddings", slots[1], to_float_vector);
      const std::uint64_t dim = convert_argument("dim", slots[2], to_count);
      const std::uint64_t k = convert_argument("k", slots[3], to_count);
      hits = flat_top_k(query, embeddings, dim, k);
    }
    return hits_to_list(hits);
  });
}

PyObject* top_k_flat_np_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return run_entry([&] {
    const auto slots = bind<4>(kTopKFlatNpSignature, args, nargs, kwnames);
    const std::uint64_t dim = convert_argument("dim", slots[2], to_count);
    const std::uint64_t k = convert_argument("k", slots[3], to_count);
    std::vector<ScoredHit> hits;
    {
      // Buffer refusals are reported as they are, without the argument prefix.
      // Destruction order releases the embeddings view first, then the query's.
      const FloatBuffer query(slots[0]);
      const FloatBuffer embeddings(slots[1]);
      hits = flat_top_k(query.floats(), embeddings.floats(), dim, k);
    }
    return hits_to_list(hits);
  });
}

}  // namespace velk

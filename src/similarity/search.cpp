#include "similarity/search.h"

#include <algorithm>

#include "similarity/cosine.h"
#include "similarity/fixed_texts.h"
#include "similarity/float_environment.h"
#include "similarity/panic.h"
#include "similarity/row_search.h"
#include "similarity/simd_kernels.h"
#include "similarity/worker_pool.h"

namespace velk {

std::vector<ScoredHit> nested_top_k(std::span<const float> query, std::span<const FloatVector> rows, std::uint64_t k) {
  const DefaultFloatEnvironment environment;
  std::vector<ScoredHit> hits;
  hits.reserve(rows.size());
  for (std::uint64_t i = 0; i < rows.size(); ++i) {
    hits.push_back({i, cosine_similarity(query, rows[i])});
  }
  rank_all_then_cut(hits, k);
  return hits;
}

std::vector<ScoredHit> flat_top_k(std::span<const float> query, std::span<const float> embeddings, std::uint64_t dim,
                                  std::uint64_t k) {
  // Before every other test: dim == 0 fails even when there is nothing to score.
  if (dim == 0) panic(kDivideByZero);
  // The query norm is computed here, on the calling thread; the pool guards the
  // workers' environment itself.
  const DefaultFloatEnvironment environment;
  const std::uint64_t rows = embeddings.size() / dim;
  const std::uint64_t width = std::min(rows, k);
  if (width == 0 || query.empty()) {
    return {};
  }
  const float squared = squared_norm(query);
  // IEEE equality on purpose: a NaN query goes on, and every row with a positive
  // squared norm scores NaN.
  if (squared == 0.0f) {
    return {};
  }
  // The pool is created here whatever the size of the input, so that the
  // process has its workers from its first scoring call on.
  const std::uint64_t workers = pool_worker_count();
  return search_rows(simd_kernels(active_simd_level()),
                     {float32_collection(embeddings.data(), embeddings.size(), dim), query, norm_from_squared(squared)},
                     width, workers);
}

}  // namespace velk

// Scoring of a whole collection against one query, then ranking.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "similarity/ranking.h"

namespace velk {

using FloatVector = std::vector<float>;

// Read-only record shared by every worker of one flat call.
struct FlatScoringContext {
  std::span<const float> embeddings;
  std::uint64_t dim;
  std::span<const float> query;
  float query_norm;
};

// Scores every row on the calling thread with the full cosine form, ranks all of
// them and keeps min(k, rows.size()).
std::vector<ScoredHit> nested_top_k(std::span<const float> query, std::span<const FloatVector> rows,
                                    std::uint64_t k);

// Rows are consecutive windows of `dim` floats. Panics on dim == 0; returns
// nothing, without touching the worker pool, for k == 0, no rows, or an empty or
// zero-norm query. Otherwise every row is scored, on the worker pool, which
// this creates on first use (a small input is scored on the calling thread).
std::vector<ScoredHit> flat_top_k(std::span<const float> query, std::span<const float> embeddings,
                                  std::uint64_t dim, std::uint64_t k);

}  // namespace velk

// Scoring of consecutive flat rows against one query, with the kernels of a
// SIMD level, every score with the scalar reference's bits.
#pragma once

#include <cstdint>
#include <span>

#include "similarity/cosine.h"
#include "similarity/scored_hit.h"
#include "similarity/simd_kernels.h"
#include "similarity/simd_level.h"
#include "similarity/storage.h"

namespace velk {

// Read-only record shared by every worker of one single-query search.
struct FlatScoringContext {
  Collection embeddings;
  std::span<const float> query;
  float query_norm;
};

// A kernel's score of row `index` with the reference bits. The kernels leave a
// NaN score as the hardware made it, whose sign and payload depend on the
// processor; it is recomputed with the careful scalar path. Any other score
// already has the reference bits: the operations and their order are the same,
// and a NaN anywhere in the arithmetic of a row that is not cut short by the
// zero-norm guard ends in a NaN score.
inline float settled_score(const FlatScoringContext& context, std::uint64_t index, float score) noexcept {
  if (!is_nan(score)) return score;
  // Only the first min(dim, query length) query elements meet the row, read
  // in its own storage type.
  const Collection& rows = context.embeddings;
  return row_score(rows.storage, rows.row(index), rows.dim, context.query, context.query_norm);
}

// Rows [begin, end) of the context as a run for a row scorer, landing in out.
inline RowRun row_run(const FlatScoringContext& context, std::uint64_t begin, std::uint64_t end,
                      ScoredHit* out) noexcept {
  const std::uint64_t dim = context.embeddings.dim;
  const std::uint64_t dot_length = dim < context.query.size() ? dim : context.query.size();
  return {context.embeddings.row(begin),
          end - begin,
          dim,
          context.query.data(),
          dot_length,
          context.query_norm,
          begin,
          out,
          nullptr};
}

// The rows numbered rows[0 .. count) of the context as a run for a row scorer:
// out[i] = {rows[i], score of that row}.
inline RowRun numbered_row_run(const FlatScoringContext& context, const std::uint64_t* rows, std::uint64_t count,
                               ScoredHit* out) noexcept {
  const std::uint64_t dim = context.embeddings.dim;
  const std::uint64_t dot_length = dim < context.query.size() ? dim : context.query.size();
  return {context.embeddings.data, count, dim, context.query.data(), dot_length, context.query_norm, 0, out, rows};
}

// Scores rows [begin, end) of the context: out[i - begin] = {i, row_score(row i,
// query, query_norm)}. Rows must lie inside the embeddings.
void score_rows(const FlatScoringContext& context, std::uint64_t begin, std::uint64_t end, ScoredHit* out) noexcept;

// The same at a given level, which must be supported.
void score_rows_with(SimdLevel level, const FlatScoringContext& context, std::uint64_t begin, std::uint64_t end,
                     ScoredHit* out) noexcept;

}  // namespace velk

#include "similarity/row_scoring.h"

#include "similarity/simd_kernels.h"

namespace velk {

void score_rows(const FlatScoringContext& context, std::uint64_t begin, std::uint64_t end, ScoredHit* out) noexcept {
  score_rows_with(active_simd_level(), context, begin, end, out);
}

void score_rows_with(SimdLevel level, const FlatScoringContext& context, std::uint64_t begin, std::uint64_t end,
                     ScoredHit* out) noexcept {
  if (begin >= end) return;
  simd_kernels(level).score(context.embeddings.storage, row_run(context, begin, end, out));
  for (std::uint64_t r = 0; r < end - begin; ++r) out[r].score = settled_score(context, begin + r, out[r].score);
}

}  // namespace velk

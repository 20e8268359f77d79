#include "similarity/row_scoring.h"

#include <algorithm>

#include "similarity/kernel.h"
#include "similarity/row_kernels.h"

namespace velk {
namespace {

using RowBatchScorer = void (*)(const RowBatch&) noexcept;

RowBatchScorer scorer_for(SimdLevel level) noexcept {
  switch (level) {
#if defined(__x86_64__)
    case SimdLevel::sse2:
      return score_rows_sse2;
    case SimdLevel::avx2:
      return score_rows_avx2;
    case SimdLevel::avx512:
      return score_rows_avx512;
#endif
#if defined(__aarch64__)
    case SimdLevel::neon:
      return score_rows_neon;
#endif
    default:
      return score_rows_scalar;
  }
}

SimdLevel widest_supported() noexcept {
  SimdLevel widest = SimdLevel::scalar;
  for (const SimdLevel level : kSimdLevels) {
    if (simd_level_supported(level)) widest = level;
  }
  return widest;
}

bool is_nan(float x) noexcept { return x != x; }

}  // namespace

void score_rows_scalar(const RowBatch& batch) noexcept {
  const std::span<const float> query(batch.query, batch.dot_length);
  for (std::uint64_t r = 0; r < batch.rows; ++r) {
    const std::span<const float> row(batch.first_row + r * batch.dim, batch.dim);
    batch.out[r] = {batch.first_index + r, row_score(row, query, batch.query_norm)};
  }
}

const char* simd_level_name(SimdLevel level) noexcept {
  switch (level) {
    case SimdLevel::sse2:
      return "sse2";
    case SimdLevel::avx2:
      return "avx2";
    case SimdLevel::avx512:
      return "avx512";
    case SimdLevel::neon:
      return "neon";
    default:
      return "scalar";
  }
}

bool simd_level_supported(SimdLevel level) noexcept {
#if defined(__x86_64__)
  __builtin_cpu_init();
  switch (level) {
    case SimdLevel::scalar:
    case SimdLevel::sse2:
      return true;
    case SimdLevel::avx2:
      return __builtin_cpu_supports("avx2");
    case SimdLevel::avx512:
      return __builtin_cpu_supports("avx512f");
    default:
      return false;
  }
#elif defined(__aarch64__)
  // NEON is part of the 64-bit ARM baseline.
  return level == SimdLevel::scalar || level == SimdLevel::neon;
#else
  return level == SimdLevel::scalar;
#endif
}

SimdLevel active_simd_level() noexcept {
  static const SimdLevel chosen = widest_supported();
  return chosen;
}

void score_rows(const FlatScoringContext& context, std::uint64_t begin, std::uint64_t end, ScoredHit* out) noexcept {
  score_rows_with(active_simd_level(), context, begin, end, out);
}

void score_rows_with(SimdLevel level, const FlatScoringContext& context, std::uint64_t begin, std::uint64_t end,
                     ScoredHit* out) noexcept {
  if (begin >= end) return;
  // Only the first min(dim, query length) query elements meet the row; the
  // rest counted in query_norm alone.
  const RowBatch batch{context.embeddings.data() + begin * context.dim,
                       end - begin,
                       context.dim,
                       context.query.data(),
                       std::min<std::uint64_t>(context.dim, context.query.size()),
                       context.query_norm,
                       begin,
                       out};
  scorer_for(level)(batch);
  // The variants leave a NaN score as the hardware made it, whose sign and
  // payload depend on the processor. Any other score already has the reference
  // bits: the operations and their order are the same, and a NaN anywhere in
  // the arithmetic of a row that is not cut short by the zero-norm guard ends in
  // a NaN score.
  for (std::uint64_t r = 0; r < batch.rows; ++r) {
    if (is_nan(out[r].score)) {
      const std::span<const float> row(batch.first_row + r * batch.dim, batch.dim);
      out[r].score = row_score(row, context.query.first(batch.dot_length), context.query_norm);
    }
  }
}

}  // namespace velk

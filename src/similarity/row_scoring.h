// Scoring of consecutive flat rows, the work of one range of the worker pool.
//
// Several implementations, one per SIMD instruction-set level, compute the same
// bits; the widest level the processor supports is chosen once per process.
#pragma once

#include <cstdint>
#include <span>

#include "similarity/batch.h"
#include "similarity/ranking.h"

namespace velk {

enum class SimdLevel { scalar, sse2, avx2, avx512, neon };

// The levels built for this processor family, narrowest first.
#if defined(__x86_64__)
inline constexpr SimdLevel kSimdLevels[] = {SimdLevel::scalar, SimdLevel::sse2, SimdLevel::avx2, SimdLevel::avx512};
#elif defined(__aarch64__)
inline constexpr SimdLevel kSimdLevels[] = {SimdLevel::scalar, SimdLevel::neon};
#else
inline constexpr SimdLevel kSimdLevels[] = {SimdLevel::scalar};
#endif

const char* simd_level_name(SimdLevel level) noexcept;
bool simd_level_supported(SimdLevel level) noexcept;
// The widest supported level, decided on first use.
SimdLevel active_simd_level() noexcept;

// Scores rows [begin, end) of the context: out[i - begin] = {i, row_score(row i,
// query, query_norm)}. Rows must lie inside the embeddings.
void score_rows(const FlatScoringContext& context, std::uint64_t begin, std::uint64_t end, ScoredHit* out) noexcept;

// The same at a given level, which must be supported.
void score_rows_with(SimdLevel level, const FlatScoringContext& context, std::uint64_t begin, std::uint64_t end,
                     ScoredHit* out) noexcept;

}  // namespace velk

// Ordering of scored rows: best first by the IEEE 754 totalOrder of the 32-bit
// score, so NaNs and signed zeros have a fixed place instead of being rejected.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "similarity/scored_hit.h"

namespace velk {

// Sorts in place, best first. Tied scores keep their incoming order.
void rank_hits(std::span<ScoredHit> hits) noexcept;

// Nested strategy: rank all entries, then keep the first min(k, n).
void rank_all_then_cut(std::vector<ScoredHit>& hits, std::uint64_t k) noexcept;

// Flat strategy, 1 <= kk <= hits.size(): keep the kk best entries, ranked.
void select_then_rank(std::vector<ScoredHit>& hits, std::uint64_t kk) noexcept;

// The same on entries the caller owns: the kk best end up ranked at the front,
// in the same order; the rest of the span is left permuted.
void select_then_rank(std::span<ScoredHit> hits, std::uint64_t kk) noexcept;

}  // namespace velk

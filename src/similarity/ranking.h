// Ordering of scored rows: best first by the IEEE 754 totalOrder of the 32-bit
// score, so NaNs and signed zeros have a fixed place instead of being rejected.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "similarity/scored_hit.h"

namespace velk {

// Sorts in place, best first. Tied scores keep their incoming order.
void rank_hits(std::span<ScoredHit> hits) noexcept;

// Nested strategy: rank all entries, then keep the first min(k, n).
void rank_all_then_cut(std::vector<ScoredHit>& hits, std::uint64_t k) noexcept;

// Flat strategy, 1 <= width <= hits.size(): keep the `width` best entries, ranked.
void select_then_rank(std::vector<ScoredHit>& hits, std::uint64_t width) noexcept;

// The same on entries the caller owns: the `width` best end up ranked at the front,
// in the same order; the rest of the span is left permuted.
void select_then_rank(std::span<ScoredHit> hits, std::uint64_t width) noexcept;

// The ranking order as an integer key of the score: a greater key ranks higher
// (IEEE 754 totalOrder), and equal keys are tied scores.
inline std::int32_t rank_key(float score) noexcept {
  std::int32_t s;
  __builtin_memcpy(&s, &score, sizeof s);
  return s < 0 ? static_cast<std::int32_t>(static_cast<std::uint32_t>(s) ^ 0x7FFFFFFFu) : s;
}

// Whether x ranks before y: a greater score by the ranking order, or a tied
// score and a lower index. Every ranking of the module agrees with this order,
// so a result does not depend on how the rows were split or selected.
inline bool ranks_before(const ScoredHit& x, const ScoredHit& y) noexcept {
  const std::int32_t kx = rank_key(x.score);
  const std::int32_t ky = rank_key(y.score);
  return kx != ky ? kx > ky : x.index < y.index;
}

// The best `capacity` hits offered so far, in ranking order, in memory that
// does not grow with the number of hits offered. Hits may be offered in any
// order; which ones are kept does not depend on it. Used per worker, so that a
// search keeps k entries per worker instead of one per row.
class BestHits {
 public:
  // Allocates room for `capacity` (at least 1) hits.
  explicit BestHits(std::uint64_t capacity);

  void offer(std::uint64_t index, float score) noexcept {
    const std::int32_t key = rank_key(score);
    if (size_ == capacity_) {
      // Nearly every row of a large search is rejected here, by one comparison.
      if (key < worst_key_ || (key == worst_key_ && index > heap_[0].index)) return;
      replace_worst({index, score});
    } else {
      push({index, score});
    }
  }

  // The kept hits, in no particular order.
  std::span<const ScoredHit> hits() const noexcept { return {heap_.get(), static_cast<std::size_t>(size_)}; }

 private:
  void push(ScoredHit hit) noexcept;
  void replace_worst(ScoredHit hit) noexcept;

  std::unique_ptr<ScoredHit[]> heap_;  // heap_[0] ranks last of the kept hits
  std::uint64_t capacity_;
  std::uint64_t size_ = 0;
  std::int32_t worst_key_ = 0;  // rank_key of heap_[0] once full
};

// The `width` best of all the hits in `parts`, ranked: exactly what ranking all of
// them together would keep, ties included.
std::vector<ScoredHit> merge_best(std::span<const BestHits> parts, std::uint64_t width);

}  // namespace velk

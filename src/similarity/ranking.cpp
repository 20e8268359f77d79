#include "similarity/ranking.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace velk {
namespace {

// IEEE 754 totalOrder as a signed integer: a greater key ranks higher. Positive
// NaNs come first, then +inf, the positive numbers, +0, -0, the negatives, -inf
// and the negative NaNs.
std::int32_t rank_key(float score) noexcept {
  const auto s = std::bit_cast<std::int32_t>(score);
  return s < 0 ? (s ^ 0x7FFFFFFF) : s;
}

// Rows arrive in index order, so ordering ties by index is exactly a stable
// ranking: ties keep their arrival order, which fixes the result independently
// of the sorting or selection algorithm, the thread count and the run.
bool ranks_before(const ScoredHit& x, const ScoredHit& y) noexcept {
  const std::int32_t kx = rank_key(x.score);
  const std::int32_t ky = rank_key(y.score);
  return kx != ky ? kx > ky : x.index < y.index;
}

void insertion_sort(ScoredHit* first, ScoredHit* last) noexcept {
  for (ScoredHit* i = first + 1; i < last; ++i) {
    const ScoredHit moving = *i;
    ScoredHit* j = i;
    for (; j > first && ranks_before(moving, j[-1]); --j) *j = j[-1];
    *j = moving;
  }
}

constexpr std::size_t kInsertionSortLimit = 20;
constexpr std::size_t kInsertionSelectLimit = 16;

}  // namespace

void rank_hits(std::span<ScoredHit> hits) noexcept {
  if (hits.size() < 2) return;
  if (hits.size() <= kInsertionSortLimit) {
    insertion_sort(hits.data(), hits.data() + hits.size());
    return;
  }
  // Introsort: O(n log n) worst case, in place, no allocation.
  std::sort(hits.begin(), hits.end(), ranks_before);
}

void rank_all_then_cut(std::vector<ScoredHit>& hits, std::uint64_t k) noexcept {
  rank_hits(hits);
  if (k < hits.size()) hits.resize(static_cast<std::size_t>(k));
}

void select_then_rank(std::vector<ScoredHit>& hits, std::uint64_t kk) noexcept {
  const std::size_t n = hits.size();
  const auto keep = static_cast<std::size_t>(kk);
  if (keep < n) {
    if (keep == 1) {
      // One pass; only a strictly better entry replaces the best so far, so the
      // lowest index among the best survives.
      std::size_t best = 0;
      for (std::size_t i = 1; i < n; ++i) {
        if (rank_key(hits[i].score) > rank_key(hits[best].score)) best = i;
      }
      std::swap(hits[0], hits[best]);
    } else if (n <= kInsertionSelectLimit) {
      insertion_sort(hits.data(), hits.data() + n);
    } else {
      std::nth_element(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(keep - 1), hits.end(),
                       ranks_before);
    }
    hits.resize(keep);  // shrinking never allocates
  }
  rank_hits(hits);
}

}  // namespace velk

#include "similarity/ranking.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace velk {
namespace {

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

void select_nth(ScoredHit* first, ScoredHit* nth, ScoredHit* last) noexcept;

// Moves the pivot to the back, partitions, and returns the pivot's final place:
// everything before it ranks above it, everything after it below.
ScoredHit* partition_around(ScoredHit* first, ScoredHit* last, ScoredHit* pivot) noexcept {
  std::swap(*pivot, last[-1]);
  const ScoredHit value = last[-1];
  ScoredHit* store = first;
  for (ScoredHit* i = first; i < last - 1; ++i) {
    if (ranks_before(*i, value)) std::swap(*i, *store++);
  }
  std::swap(*store, last[-1]);
  return store;
}

ScoredHit* median_of_three(ScoredHit* a, ScoredHit* b, ScoredHit* c) noexcept {
  if (ranks_before(*a, *b)) {
    if (ranks_before(*b, *c)) return b;
    return ranks_before(*a, *c) ? c : a;
  }
  if (ranks_before(*a, *c)) return a;
  return ranks_before(*b, *c) ? c : b;
}

// A pivot that is guaranteed to split off at least 30% on each side, which
// keeps the selection linear even on adversarial score patterns.
ScoredHit* median_of_medians(ScoredHit* first, ScoredHit* last) noexcept {
  ScoredHit* medians = first;
  for (ScoredHit* group = first; group < last; group += 5) {
    ScoredHit* group_end = std::min(group + 5, last);
    insertion_sort(group, group_end);
    std::swap(*medians++, group[(group_end - group) / 2]);
  }
  ScoredHit* middle = first + (medians - first) / 2;
  select_nth(first, middle, medians);
  return middle;
}

// Quickselect on median-of-three pivots, falling back to median-of-medians
// pivots when the partitions stay unbalanced for too long.
void select_nth(ScoredHit* first, ScoredHit* nth, ScoredHit* last) noexcept {
  auto budget = 2 * static_cast<int>(std::bit_width(static_cast<std::size_t>(last - first)));
  while (std::cmp_greater(last - first, kInsertionSelectLimit)) {
    ScoredHit* pivot =
        budget-- > 0 ? median_of_three(first, first + (last - first) / 2, last - 1) : median_of_medians(first, last);
    ScoredHit* place = partition_around(first, last, pivot);
    if (place == nth) return;
    if (nth < place) {
      last = place;
    } else {
      first = place + 1;
    }
  }
  insertion_sort(first, last);
}

// The usual search keeps a few best rows out of many: one pass that keeps the
// best `keep` entries sorted at the front and compares every other entry with
// the worst kept one, which nearly always rejects it. The displaced entry takes
// the newcomer's place, so the array stays a permutation. Scores that keep
// improving along the array would make this quadratic in `keep`; after a
// linear budget of moves it gives up and returns false.
constexpr std::size_t kScanSelectLimit = 64;

bool select_by_scan(ScoredHit* hits, std::size_t keep, std::size_t n) noexcept {
  insertion_sort(hits, hits + keep);
  std::size_t budget = n + 1024;
  ScoredHit* worst = hits + keep - 1;
  for (std::size_t i = keep; i < n; ++i) {
    if (!ranks_before(hits[i], *worst)) continue;
    const ScoredHit moving = hits[i];
    hits[i] = *worst;
    ScoredHit* j = worst;
    for (; j > hits && ranks_before(moving, j[-1]); --j) *j = j[-1];
    *j = moving;
    const auto moved = static_cast<std::size_t>(worst - j) + 1;
    if (moved > budget) return false;
    budget -= moved;
  }
  return true;
}

}  // namespace

void rank_hits(std::span<ScoredHit> hits) noexcept {
  if (hits.size() < 2) return;
  if (hits.size() <= kInsertionSortLimit) {
    insertion_sort(hits.data(), hits.data() + hits.size());
    return;
  }
  // Introsort: O(n log n) worst case, in place, no allocation.
  std::ranges::sort(hits, ranks_before);
}

void rank_all_then_cut(std::vector<ScoredHit>& hits, std::uint64_t k) noexcept {
  rank_hits(hits);
  if (k < hits.size()) hits.resize(static_cast<std::size_t>(k));
}

void select_then_rank(std::span<ScoredHit> hits, std::uint64_t width) noexcept {
  const std::size_t n = hits.size();
  const auto keep = static_cast<std::size_t>(width);
  if (keep < n) {
    if (keep == 1) {
      // One pass; of several entries with the best score the lowest index
      // wins, wherever it stands in the array.
      std::size_t best = 0;
      for (std::size_t i = 1; i < n; ++i) {
        if (ranks_before(hits[i], hits[best])) best = i;
      }
      std::swap(hits[0], hits[best]);
    } else if (n <= kInsertionSelectLimit) {
      insertion_sort(hits.data(), hits.data() + n);
    } else if (keep > kScanSelectLimit || !select_by_scan(hits.data(), keep, n)) {
      select_nth(hits.data(), hits.data() + (keep - 1), hits.data() + n);
    }
  }
  rank_hits(hits.first(std::min(keep, n)));
}

BestHits::BestHits(std::uint64_t capacity)
    : heap_(new ScoredHit[std::max<std::uint64_t>(capacity, 1)]), capacity_(std::max<std::uint64_t>(capacity, 1)) {}

// A binary heap whose root ranks last: it is the entry a better hit displaces.
void BestHits::push(ScoredHit hit) noexcept {
  std::uint64_t i = size_++;
  while (i > 0) {
    const std::uint64_t parent = (i - 1) / 2;
    if (!ranks_before(heap_[parent], hit)) break;
    heap_[i] = heap_[parent];
    i = parent;
  }
  heap_[i] = hit;
  if (size_ == capacity_) worst_key_ = rank_key(heap_[0].score);
}

void BestHits::replace_worst(ScoredHit hit) noexcept {
  std::uint64_t i = 0;
  for (;;) {
    std::uint64_t child = 2 * i + 1;
    if (child >= size_) break;
    if (child + 1 < size_ && ranks_before(heap_[child], heap_[child + 1])) ++child;
    if (!ranks_before(hit, heap_[child])) break;
    heap_[i] = heap_[child];
    i = child;
  }
  heap_[i] = hit;
  worst_key_ = rank_key(heap_[0].score);
}

std::vector<ScoredHit> merge_best(std::span<const BestHits> parts, std::uint64_t width) {
  std::vector<ScoredHit> all;
  std::size_t total = 0;
  for (const BestHits& part : parts) total += part.hits().size();
  all.reserve(total);
  for (const BestHits& part : parts) all.insert(all.end(), part.hits().begin(), part.hits().end());
  select_then_rank(std::span<ScoredHit>(all), std::min<std::uint64_t>(width, all.size()));
  if (width < all.size()) all.resize(static_cast<std::size_t>(width));
  return all;
}

void select_then_rank(std::vector<ScoredHit>& hits, std::uint64_t width) noexcept {
  select_then_rank(std::span<ScoredHit>(hits), width);
  if (width < hits.size()) hits.resize(static_cast<std::size_t>(width));  // shrinking never allocates
}

}  // namespace velk

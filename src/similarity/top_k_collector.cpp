#include "similarity/top_k_collector.h"

#include <cstddef>
#include <memory>

namespace velk {

TopKCollector::TopKCollector(std::span<const FlatScoringContext> queries, std::uint64_t rows, std::uint64_t width,
                             std::uint64_t tasks, const std::uint64_t* row_numbers, bool filtered)
    : queries_(queries),
      rows_(rows),
      width_(width),
      tasks_(tasks),
      keeps_best_(filtered || keeps_best_per_task(width, tasks, rows)),
      row_numbers_(row_numbers) {
  if (keeps_best_) {
    best_.reserve(queries.size() * tasks);
    for (std::uint64_t i = 0; i < queries.size() * tasks; ++i) best_.emplace_back(width);
  } else {
    // Left uninitialised: value-initialising the slots would be a serial pass
    // over the whole buffer on the calling thread, with its first-touch page
    // faults, before any scoring.
    slots_ = std::make_unique_for_overwrite<ScoredHit[]>(queries.size() * rows);
  }
}

std::vector<ScoredHit> TopKCollector::ranked(std::uint64_t query) {
  if (keeps_best_) return merge_best(std::span<const BestHits>(best_).subspan(query * tasks_, tasks_), width_);
  const std::span<ScoredHit> slots(slots_.get() + query * rows_, rows_);
  select_then_rank(slots, width_);
  return std::vector<ScoredHit>(slots.begin(), slots.begin() + static_cast<std::ptrdiff_t>(width_));
}

}  // namespace velk

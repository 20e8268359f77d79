#include "similarity/batch_search.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "similarity/batch.h"
#include "similarity/fixed_texts.h"
#include "similarity/float_environment.h"
#include "similarity/kernel.h"
#include "similarity/panic.h"
#include "similarity/ranking.h"
#include "similarity/row_scoring.h"
#include "similarity/worker_pool.h"

namespace velk {
namespace {

// Row ranges as flat_top_k cuts them: about 2^15 to 2^18 floats, about 64 of
// them, whole blocks of 16 rows.
constexpr std::uint64_t kFloatsPerRange = std::uint64_t{1} << 15;
constexpr std::uint64_t kMaxFloatsPerRange = std::uint64_t{1} << 18;
constexpr std::uint64_t kMinRanges = 64;
constexpr std::uint64_t kRowsPerBlock = 16;
constexpr std::uint64_t kRowsPerChunk = 256;

// The kept hits of the queries that are searched together take at most about
// this much memory; larger batches are searched one group after another. A
// single query may need more (n slots, as flat_top_k takes for it).
constexpr std::uint64_t kGroupBytes = std::uint64_t{64} << 20;

class RowRanges {
 public:
  RowRanges(std::uint64_t rows, std::uint64_t dim) : rows_(rows) {
    blocks_ = rows / kRowsPerBlock + (rows % kRowsPerBlock != 0);
    const std::uint64_t floats = std::clamp(rows * dim / kMinRanges, kFloatsPerRange, kMaxFloatsPerRange);
    blocks_per_range_ = std::max<std::uint64_t>(1, floats / dim / kRowsPerBlock);
    count_ = blocks_ / blocks_per_range_ + (blocks_ % blocks_per_range_ != 0);
  }

  std::uint64_t count() const noexcept { return count_; }

  // The rows [begin, end) of a range; a range beyond the blocks is a broken split.
  std::pair<std::uint64_t, std::uint64_t> rows(std::uint64_t range) const {
    const std::uint64_t first_block = range * blocks_per_range_;
    const std::uint64_t end_block = std::min(first_block + blocks_per_range_, blocks_);
    if (first_block >= end_block) panic(kTooManyValues);
    return {first_block * kRowsPerBlock, std::min(end_block * kRowsPerBlock, rows_)};
  }

 private:
  std::uint64_t rows_;
  std::uint64_t blocks_;
  std::uint64_t blocks_per_range_;
  std::uint64_t count_;
};

// Runs body(task, range) for every range, on the pool unless there is only one.
template <class Body>
void run_ranges(std::uint64_t ranges, std::uint64_t tasks, Body&& body) {
  if (ranges == 1 || tasks == 1) {
    for (std::uint64_t range = 0; range < ranges; ++range) body(0, range);
  } else {
    run_on_pool(ranges, tasks, body);
  }
}

class Search {
 public:
  explicit Search(const BatchQuery& batch, BatchResults results)
      : batch_(batch),
        results_(results),
        rows_(batch.embeddings.size() / batch.dim),
        kk_(std::min(rows_, batch.k)),
        ranges_(rows_, batch.dim) {}

  void run();

 private:
  std::span<const float> query(std::uint64_t q) const noexcept {
    return batch_.queries.subspan(q * batch_.dim, batch_.dim);
  }
  FlatScoringContext context(std::uint64_t q) const noexcept {
    return {batch_.embeddings, batch_.dim, query(q), norms_[q]};
  }
  void write(std::uint64_t q, std::span<const ScoredHit> hits) const noexcept;
  void search_kept(std::span<const std::uint64_t> group);
  void search_slots(std::span<const std::uint64_t> group);

  const BatchQuery& batch_;
  BatchResults results_;
  std::uint64_t rows_;
  std::uint64_t kk_;
  RowRanges ranges_;
  std::uint64_t tasks_ = 1;
  std::vector<float> norms_;
};

void Search::write(std::uint64_t q, std::span<const ScoredHit> hits) const noexcept {
  float* scores = results_.scores + q * kk_;
  std::int64_t* indices = results_.indices + q * kk_;
  for (std::uint64_t j = 0; j < kk_; ++j) {
    const bool found = j < hits.size();
    scores[j] = found ? hits[j].score : -std::numeric_limits<float>::infinity();
    indices[j] = found ? static_cast<std::int64_t>(hits[j].index) : -1;
  }
}

// Few rows wanted: each task keeps its own best kk of every query of the
// group, and the lists of a query merge by score, then index, exactly as
// flat_top_k merges its tasks' lists.
void Search::search_kept(std::span<const std::uint64_t> group) {
  const std::uint64_t tasks = tasks_;
  std::vector<BestHits> best;  // best[g * tasks + task]
  best.reserve(group.size() * tasks);
  for (std::uint64_t i = 0; i < group.size() * tasks; ++i) best.emplace_back(kk_);
  run_ranges(ranges_.count(), tasks, [&](std::uint64_t task, std::uint64_t range) {
    const auto [begin, end] = ranges_.rows(range);
    ScoredHit scored[kRowsPerChunk];
    for (std::uint64_t g = 0; g < group.size(); ++g) {
      const FlatScoringContext query_context = context(group[g]);
      BestHits& kept = best[g * tasks + task];
      for (std::uint64_t first = begin; first < end; first += kRowsPerChunk) {
        const std::uint64_t last = std::min(first + kRowsPerChunk, end);
        score_rows(query_context, first, last, scored);
        for (std::uint64_t i = 0; i < last - first; ++i) kept.offer(scored[i].index, scored[i].score);
      }
    }
  });
  for (std::uint64_t g = 0; g < group.size(); ++g) {
    write(group[g], merge_best(std::span<const BestHits>(best).subspan(g * tasks, tasks), kk_));
  }
}

// Most rows wanted: one slot per row and query, then a selection per query.
void Search::search_slots(std::span<const std::uint64_t> group) {
  const std::unique_ptr<ScoredHit[]> slots(new ScoredHit[group.size() * rows_]);
  run_ranges(ranges_.count(), tasks_, [&](std::uint64_t, std::uint64_t range) {
    const auto [begin, end] = ranges_.rows(range);
    for (std::uint64_t g = 0; g < group.size(); ++g) {
      score_rows(context(group[g]), begin, end, slots.get() + g * rows_ + begin);
    }
  });
  run_ranges(group.size(), std::min<std::uint64_t>(tasks_, group.size()), [&](std::uint64_t, std::uint64_t g) {
    const std::span<ScoredHit> hits(slots.get() + g * rows_, rows_);
    select_then_rank(hits, kk_);
    write(group[g], hits.first(kk_));
  });
}

void Search::run() {
  const std::uint64_t query_count = batch_.queries.size() / batch_.dim;
  if (kk_ == 0 || query_count == 0) return;

  // Each query's norm once, and the queries with nothing to score answered
  // now: flat_top_k returns no hit for a query whose squared norm equals zero.
  std::vector<std::uint64_t> scored;
  norms_.resize(query_count);
  for (std::uint64_t q = 0; q < query_count; ++q) {
    const float squared = squared_norm(query(q));
    norms_[q] = norm_from_squared(squared);
    if (squared == 0.0f) {
      write(q, {});
    } else {
      scored.push_back(q);
    }
  }
  if (scored.empty()) return;

  const std::uint64_t workers = pool_worker_count();
  const std::uint64_t allowed = batch_.max_tasks == 0 ? workers : std::min(batch_.max_tasks, workers);
  tasks_ = std::min(allowed, ranges_.count());

  const bool kept = kk_ * tasks_ <= rows_ / 2;
  const std::uint64_t bytes_per_query = sizeof(ScoredHit) * (kept ? kk_ * tasks_ : rows_);
  const std::uint64_t group_size = std::clamp<std::uint64_t>(kGroupBytes / bytes_per_query, 1, scored.size());
  for (std::uint64_t first = 0; first < scored.size(); first += group_size) {
    const auto group = std::span<const std::uint64_t>(scored).subspan(first, std::min(group_size, scored.size() - first));
    if (kept) {
      search_kept(group);
    } else {
      search_slots(group);
    }
  }
}

}  // namespace

void search_batch(const BatchQuery& batch, BatchResults results) {
  // Before every other test, as in flat_top_k.
  if (batch.dim == 0) panic(kDivideByZero);
  const DefaultFloatEnvironment environment;
  Search(batch, results).run();
}

}  // namespace velk

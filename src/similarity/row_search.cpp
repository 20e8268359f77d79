#include "similarity/row_search.h"

#include <cstring>
#include <span>

#include "similarity/top_k_collector.h"

namespace velk {

namespace {

// Rows scored per call of a row scorer, into a buffer on the stack (32 KiB).
// The scorer's lanes each read a stretch of the chunk's rows of their own
// (score_lane_groups), so a longer chunk makes longer sequential streams:
// 2,048 rows hold a whole range of rows 512 or more values wide (RowRanges).
constexpr std::uint64_t kRowsPerChunk = 2048;

// The best `width` of `count` rows, positions 0 .. count - 1 of the search,
// scored a chunk at a time into a buffer on the stack:
// run_of(first, last, out) is the run of positions [first, last) landing in
// out. `row_numbers` maps positions to rows for the NaN repair (nullptr when
// they are the same).
template <class RunOf>
std::vector<ScoredHit> search_positions(const SimdKernels& kernels, const FlatScoringContext& context,
                                        std::uint64_t count, const std::uint64_t* row_numbers, std::uint64_t width,
                                        std::uint64_t tasks, RunOf run_of) {
  const RowRanges ranges(count, context.embeddings.dim);
  tasks = std::min(tasks, ranges.count());
  TopKCollector top_k(std::span<const FlatScoringContext>(&context, 1), count, width, tasks, row_numbers);
  run_ranges(ranges.count(), tasks, [&](std::uint64_t task, std::uint64_t range) {
    const auto [begin, end] = ranges.rows(range);
    TopKCollector::Intake intake = top_k.intake(task, 0);
    ScoredHit scored[kRowsPerChunk];
    for (std::uint64_t first = begin; first < end; first += kRowsPerChunk) {
      const std::uint64_t last = std::min(first + kRowsPerChunk, end);
      kernels.score(context.embeddings.storage, run_of(first, last, scored));
      for (std::uint64_t i = 0; i < last - first; ++i) intake.offer(first + i, scored[i].score);
    }
  });
  return top_k.ranked(0);
}

}  // namespace

bool any_flag(const std::uint8_t* flags, std::uint64_t begin, std::uint64_t end) noexcept {
  std::uint64_t i = begin;
  for (; i + sizeof(std::uint64_t) <= end; i += sizeof(std::uint64_t)) {
    std::uint64_t eight;
    std::memcpy(&eight, flags + i, sizeof eight);
    if (eight != 0) return true;
  }
  for (; i < end; ++i) {
    if (flags[i] != 0) return true;
  }
  return false;
}

std::vector<ScoredHit> search_rows(const SimdKernels& kernels, const FlatScoringContext& context, std::uint64_t width,
                                   std::uint64_t tasks) {
  return search_positions(kernels, context, context.embeddings.rows, nullptr, width, tasks,
                          [&context](std::uint64_t first, std::uint64_t last, ScoredHit* out) {
                            return row_run(context, first, last, out);
                          });
}

std::vector<ScoredHit> search_numbered_rows(const SimdKernels& kernels, const FlatScoringContext& context,
                                            std::span<const std::uint64_t> rows, std::uint64_t width,
                                            std::uint64_t tasks) {
  // Positions in the list, cut into as many rows per range as a search of a
  // copy of them would take, and ranked by position, which orders ties as row
  // numbers do: the list ascends.
  std::vector<ScoredHit> hits =
      search_positions(kernels, context, rows.size(), rows.data(), width, tasks,
                       [&context, &rows](std::uint64_t first, std::uint64_t last, ScoredHit* out) {
                         return numbered_row_run(context, rows.data() + first, last - first, out);
                       });
  for (ScoredHit& hit : hits) hit.index = rows[hit.index];
  return hits;
}

std::vector<ScoredHit> search_filtered_rows(const SimdKernels& kernels, const FlatScoringContext& context,
                                            const std::uint8_t* keep, std::uint64_t width, std::uint64_t tasks) {
  const std::uint64_t rows = context.embeddings.rows;
  const RowRanges ranges(rows, context.embeddings.dim);
  tasks = std::min(tasks, ranges.count());
  TopKCollector top_k(std::span<const FlatScoringContext>(&context, 1), rows, width, tasks, nullptr, true);
  run_ranges(ranges.count(), tasks, [&](std::uint64_t task, std::uint64_t range) {
    const auto [begin, end] = ranges.rows(range);
    TopKCollector::Intake intake = top_k.intake(task, 0);
    ScoredHit scored[kRowsPerChunk];
    for (std::uint64_t first = begin; first < end;) {
      // A run of blocks that each keep a row, up to a chunk; blocks that keep
      // none are skipped unread.
      const auto keeps_any = [&](std::uint64_t at) { return any_flag(keep, at, std::min(at + kFilterBlockRows, end)); };
      if (!keeps_any(first)) {
        first = std::min(first + kFilterBlockRows, end);
        continue;
      }
      std::uint64_t last = std::min(first + kFilterBlockRows, end);
      while (last < end && last - first < kRowsPerChunk && keeps_any(last))
        last = std::min(last + kFilterBlockRows, end);
      kernels.score(context.embeddings.storage, row_run(context, first, last, scored));
      for (std::uint64_t i = first; i < last; ++i) {
        if (keep[i] != 0) intake.offer(i, scored[i - first].score);
      }
      first = last;
    }
  });
  return top_k.ranked(0);
}

}  // namespace velk

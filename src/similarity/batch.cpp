#include "similarity/batch.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>

#include "similarity/fixed_texts.h"
#include "similarity/float_environment.h"
#include "similarity/kernel.h"
#include "similarity/panic.h"
#include "similarity/row_scoring.h"
#include "similarity/worker_pool.h"

namespace velk {
namespace {

// About this many floats per range: enough arithmetic to pay for handing a
// range to another thread, small enough to balance the load on long inputs. An
// input of one range is scored on the calling thread.
constexpr std::uint64_t kFloatsPerRange = std::uint64_t{1} << 15;
// A large input is cut into larger ranges, of up to this many floats but still
// about 64 of them: on an input read from memory, ranges of 2^18 floats scored
// 1,000,000 rows of 768 about 7% faster than ranges of 2^15 (each range is a
// new start for the streams a worker reads), and 64 ranges still balance two
// workers. Smaller inputs keep the small ranges, for balance.
constexpr std::uint64_t kMaxFloatsPerRange = std::uint64_t{1} << 18;
constexpr std::uint64_t kMinRanges = 64;

// Rows are handed out in blocks as wide as the widest group of rows the
// scorers compute side by side, so that only the very last range can end in a
// partly filled group; a range of 21 rows would otherwise cost two groups of 16.
constexpr std::uint64_t kRowsPerBlock = 16;
// Rows scored into a buffer on the stack before they are offered to a task's
// best hits: a few kilobytes, a multiple of the block.
constexpr std::uint64_t kRowsPerChunk = 256;

void check_row_width(std::uint64_t dim) {
  if (dim == 0) {
    velk::panic(kDivideByZero);
  }
}

}  // namespace

std::vector<ScoredHit> nested_top_k(std::span<const float> query, std::span<const FloatVector> rows,
                                    std::uint64_t k) {
  const DefaultFloatEnvironment environment;
  std::vector<ScoredHit> hits;
  hits.reserve(rows.size());
  for (std::uint64_t i = 0; i < rows.size(); ++i) {
    hits.push_back({i, cosine_similarity(query, rows[i])});
  }
  rank_all_then_cut(hits, k);
  return hits;
}

std::vector<ScoredHit> flat_top_k(std::span<const float> query, std::span<const float> embeddings,
                                  std::uint64_t dim, std::uint64_t k) {
  // Before every other test: dim == 0 fails even when there is nothing to score.
  check_row_width(dim);
  // The query norm is computed here, on the calling thread; the pool guards the
  // workers' environment itself.
  const DefaultFloatEnvironment environment;
  const std::uint64_t n = embeddings.size() / dim;
  const std::uint64_t kk = std::min(n, k);
  if (kk == 0 || query.empty()) {
    return {};
  }
  const float squared = squared_norm(query);
  const float query_norm = norm_from_squared(squared);
  // IEEE equality on purpose: a NaN query goes on, and every row with a positive
  // squared norm scores NaN.
  if (squared == 0.0f) {
    return {};
  }

  const FlatScoringContext context{embeddings, dim, query, query_norm};
  const std::uint64_t blocks = n / kRowsPerBlock + (n % kRowsPerBlock != 0);
  const std::uint64_t floats_per_range = std::clamp(n * dim / kMinRanges, kFloatsPerRange, kMaxFloatsPerRange);
  const std::uint64_t blocks_per_range = std::max<std::uint64_t>(1, floats_per_range / dim / kRowsPerBlock);
  const std::uint64_t ranges = blocks / blocks_per_range + (blocks % blocks_per_range != 0);
  // The rows [begin, end) of a range; a range beyond the blocks is a broken split.
  const auto range_rows = [n, blocks, blocks_per_range](std::uint64_t range) {
    const std::uint64_t first_block = range * blocks_per_range;
    const std::uint64_t end_block = std::min(first_block + blocks_per_range, blocks);
    if (first_block >= end_block) {
      velk::panic(kTooManyValues);
    }
    return std::pair{first_block * kRowsPerBlock, std::min(end_block * kRowsPerBlock, n)};
  };
  // The pool is created here whatever the size of the input, so that the
  // process has its workers from its first scoring call on.
  const std::uint64_t workers = pool_worker_count();
  const std::uint64_t tasks = std::min(workers, ranges);

  if (kk * tasks <= n / 2) {
    // Few rows wanted: each task keeps its own best kk, and the lists merge by
    // score, then index. That keeps exactly the rows a ranking of all n would
    // keep, for any split, in memory that does not grow with n.
    std::vector<BestHits> best;
    best.reserve(tasks);
    for (std::uint64_t t = 0; t < tasks; ++t) best.emplace_back(kk);
    run_on_pool(ranges, tasks, [&context, &best, &range_rows](std::uint64_t task, std::uint64_t range) {
      const auto [begin, end] = range_rows(range);
      ScoredHit scored[kRowsPerChunk];
      for (std::uint64_t first = begin; first < end; first += kRowsPerChunk) {
        const std::uint64_t last = std::min(first + kRowsPerChunk, end);
        score_rows(context, first, last, scored);
        for (std::uint64_t i = 0; i < last - first; ++i) best[task].offer(scored[i].index, scored[i].score);
      }
    });
    return merge_best(best, kk);
  }

  // Most rows wanted: one slot per row, each written by the one range that
  // scores it, so the fill needs no lock and no merge. Left uninitialised:
  // value-initialising n entries would be a serial pass over the whole buffer
  // on the calling thread, with its first-touch page faults, before any scoring.
  const std::unique_ptr<ScoredHit[]> storage(new ScoredHit[n]);
  const std::span<ScoredHit> slots(storage.get(), n);
  run_on_pool(ranges, tasks, [&context, slots, &range_rows](std::uint64_t, std::uint64_t range) {
    const auto [begin, end] = range_rows(range);
    score_rows(context, begin, end, slots.data() + begin);
  });
  select_then_rank(slots, kk);
  return std::vector<ScoredHit>(slots.begin(), slots.begin() + static_cast<std::ptrdiff_t>(kk));
}

}  // namespace velk

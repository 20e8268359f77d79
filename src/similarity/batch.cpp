#include "similarity/batch.h"

#include <algorithm>
#include <cstddef>
#include <memory>

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
  // Left uninitialised: every slot is written by the scorers before it is read.
  // Value-initialising n entries would be a serial pass over the whole buffer on
  // the calling thread, with its first-touch page faults, before any scoring.
  const std::unique_ptr<ScoredHit[]> storage(new ScoredHit[n]);
  const std::span<ScoredHit> slots(storage.get(), n);
  // Each row is scored exactly once and written into its own slot, so the
  // result needs no lock and no merge, and is the same for any worker count or
  // schedule.
  const std::uint64_t blocks = n / kRowsPerBlock + (n % kRowsPerBlock != 0);
  const std::uint64_t floats_per_range = std::clamp(n * dim / kMinRanges, kFloatsPerRange, kMaxFloatsPerRange);
  const std::uint64_t blocks_per_range = std::max<std::uint64_t>(1, floats_per_range / dim / kRowsPerBlock);
  const std::uint64_t ranges = blocks / blocks_per_range + (blocks % blocks_per_range != 0);
  const auto score_range = [&context, slots, blocks, blocks_per_range](std::uint64_t, std::uint64_t range) {
    const std::uint64_t first_block = range * blocks_per_range;
    const std::uint64_t end_block = std::min(first_block + blocks_per_range, blocks);
    if (first_block >= end_block) {
      velk::panic(kTooManyValues);
    }
    const std::uint64_t begin = first_block * kRowsPerBlock;
    const std::uint64_t end = std::min(end_block * kRowsPerBlock, std::uint64_t{slots.size()});
    score_rows(context, begin, end, slots.data() + begin);
  };
  // The pool is created here whatever the size of the input, so that the
  // process has its workers from its first scoring call on.
  const std::uint64_t workers = pool_worker_count();
  if (ranges == 1) {
    score_range(0, 0);
  } else {
    run_on_pool(ranges, std::min(workers, ranges), score_range);
  }

  select_then_rank(slots, kk);
  return std::vector<ScoredHit>(slots.begin(), slots.begin() + static_cast<std::ptrdiff_t>(kk));
}

}  // namespace velk

#include "similarity/batch.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>

#include "similarity/fixed_texts.h"
#include "similarity/float_environment.h"
#include "similarity/kernel.h"
#include "similarity/panic.h"
#include "similarity/row_ranges.h"
#include "similarity/row_scoring.h"
#include "similarity/worker_pool.h"

namespace velk {
namespace {

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
  const RowRanges ranges(n, dim);
  // The pool is created here whatever the size of the input, so that the
  // process has its workers from its first scoring call on.
  const std::uint64_t workers = pool_worker_count();
  const std::uint64_t tasks = std::min(workers, ranges.count());

  if (kk * tasks <= n / 2) {
    // Few rows wanted: each task keeps its own best kk, and the lists merge by
    // score, then index. That keeps exactly the rows a ranking of all n would
    // keep, for any split, in memory that does not grow with n.
    std::vector<BestHits> best;
    best.reserve(tasks);
    for (std::uint64_t t = 0; t < tasks; ++t) best.emplace_back(kk);
    const SimdLevel level = active_simd_level();
    run_on_pool(ranges.count(), tasks, [&](std::uint64_t task, std::uint64_t range) {
      const auto [begin, end] = ranges.rows(range);
      score_rows_through(level, context, begin, end,
                         [&hits = best[task]](std::uint64_t index, float score) { hits.offer(index, score); });
    });
    return merge_best(best, kk);
  }

  // Most rows wanted: one slot per row, each written by the one range that
  // scores it, so the fill needs no lock and no merge. Left uninitialised:
  // value-initialising n entries would be a serial pass over the whole buffer
  // on the calling thread, with its first-touch page faults, before any scoring.
  const std::unique_ptr<ScoredHit[]> storage(new ScoredHit[n]);
  const std::span<ScoredHit> slots(storage.get(), n);
  run_on_pool(ranges.count(), tasks, [&context, slots, &ranges](std::uint64_t, std::uint64_t range) {
    const auto [begin, end] = ranges.rows(range);
    score_rows(context, begin, end, slots.data() + begin);
  });
  select_then_rank(slots, kk);
  return std::vector<ScoredHit>(slots.begin(), slots.begin() + static_cast<std::ptrdiff_t>(kk));
}

}  // namespace velk

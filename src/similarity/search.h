// The searches of a collection by cosine similarity: of nested rows against
// one query, of flat rows against one query, and of flat rows against many
// queries in one call.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "similarity/ranking.h"
#include "similarity/simd_level.h"
#include "similarity/worker_pool.h"

namespace velk {

using FloatVector = std::vector<float>;

// Scores every row on the calling thread with the full cosine form, ranks all of
// them and keeps min(k, rows.size()).
std::vector<ScoredHit> nested_top_k(std::span<const float> query, std::span<const FloatVector> rows, std::uint64_t k);

// Rows are consecutive windows of `dim` floats. Panics on dim == 0; returns
// nothing, without touching the worker pool, for k == 0, no rows, or an empty or
// zero-norm query. Otherwise every row is scored, on the worker pool, which
// this creates on first use (a small input is scored on the calling thread).
std::vector<ScoredHit> flat_top_k(std::span<const float> query, std::span<const float> embeddings, std::uint64_t dim,
                                  std::uint64_t k);

// Many queries against one flat collection in one call. Every query gets
// exactly what flat_top_k gives it alone: the same rows in the same order with
// the same score bits. The call only changes how the work is shared out.
struct QuerySet {
  std::span<const float> queries;     // queries.size() / dim rows of dim floats, row-major
  std::span<const float> embeddings;  // floor(size / dim) rows of dim floats
  std::uint64_t dim;
  std::uint64_t k;
  std::uint64_t threads;  // at most this many workers; 0 for the whole pool
  // Asked now and then while the search runs (see StopCheckScope); when it
  // answers true the search ends by throwing Stopped. None when null.
  const StopCheck* stop_check = nullptr;
  // Whether a pool that cannot start is reported on standard error as well as
  // thrown (see pool_worker_count).
  bool report_pool_failure = true;
};

// Result rows of width = min(k, rows), one per query: hit j of query q is at
// q * width + j. A query that finds fewer hits (a zero query finds none) has
// the rest of its row filled with index -1 and score -inf.
struct ResultRows {
  float* scores;
  std::int64_t* indices;
};

// Panics on dim == 0, like flat_top_k. Runs on the calling thread and the
// worker pool, which it creates on first use (threads == 1 runs on the calling
// thread alone and leaves the pool alone); it never touches the interpreter,
// so the caller may let others run meanwhile. The query count is
// queries.size() / dim (a remainder is ignored).
void search_queries(const QuerySet& set, ResultRows results);

// The same with the kernels of a given level, which the processor must support.
void search_queries_with(SimdLevel level, const QuerySet& set, ResultRows results);

}  // namespace velk

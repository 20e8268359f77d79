// The searches of a collection by cosine similarity: of nested rows against
// one query, of flat rows against one query, and of flat rows against many
// queries in one call.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "similarity/ranking.h"
#include "similarity/simd_level.h"
#include "similarity/storage.h"
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

// The rows a search may return, when not all of them. Either a filter: row i
// is a candidate of query q when mask[q * mask_stride + i] is nonzero (a
// stride of 0 shares one filter of `rows` bytes); or lists: query q's
// candidates are rows[offsets[l] .. offsets[l + 1]), l = q when lists_per_query
// and 0 otherwise, ascending, none twice, each below the row count. Lists are
// given by their offsets: rows may be null when every list is empty. With no
// mask and no offsets, every row is a candidate.
struct Candidates {
  const std::uint8_t* mask = nullptr;
  std::uint64_t mask_stride = 0;
  const std::uint64_t* rows = nullptr;
  const std::uint64_t* offsets = nullptr;
  bool lists_per_query = false;
};

// Many queries against one flat collection in one call. Every query gets
// exactly what flat_top_k gives it alone: the same rows in the same order with
// the same score bits. The call only changes how the work is shared out.
struct QuerySet {
  // queries.size() / embeddings.dim rows of embeddings.dim floats, row-major
  std::span<const float> queries;
  // Rows of dim values of any storage type, read in place.
  Collection embeddings;
  std::uint64_t k;
  std::uint64_t threads;  // at most this many workers; 0 for the whole pool
  // Each query's result is what it gets searching a copy of its candidate
  // rows alone (in ascending order), indices mapped back to row numbers.
  Candidates candidates;
  // Asked now and then while the search runs (see StopCheckScope); when it
  // answers true the search ends by throwing Stopped. None when null.
  const StopCheck* stop_check = nullptr;
  // Whether a pool that cannot start is reported on standard error as well as
  // thrown (see pool_worker_count).
  bool report_pool_failure = true;
};

// Result rows of width = min(k, rows), one per query (with candidates too): hit j of query q is at
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

// Many queries against one flat collection in one call. Every query gets
// exactly what flat_top_k gives it alone: the same rows in the same order with
// the same score bits. The call only changes how the work is shared out.
#pragma once

#include <cstdint>
#include <span>

#include "similarity/row_scoring.h"

namespace velk {

struct BatchQuery {
  std::span<const float> queries;     // query_count rows of dim floats, row-major
  std::span<const float> embeddings;  // floor(size / dim) rows of dim floats
  std::uint64_t dim;
  std::uint64_t k;
  std::uint64_t max_tasks;  // at most this many workers; 0 for the whole pool
};

// Result rows of width kk = min(k, rows), one per query: hit j of query q is
// at q * kk + j. A query that finds fewer hits (a zero query finds none) has
// the rest of its row filled with index -1 and score -inf.
struct BatchResults {
  float* scores;
  std::int64_t* indices;
};

// Panics on dim == 0, like flat_top_k. Runs on the calling thread and the
// worker pool, which it creates on first use (max_tasks == 1 runs on the
// calling thread alone and leaves the pool alone); it never touches the
// interpreter, so the caller may let others run meanwhile. The query count is
// queries.size() / dim (a remainder is ignored).
void search_batch(const BatchQuery& batch, BatchResults results);

// The same with the kernels of a given level, which the processor must support.
void search_batch_with(SimdLevel level, const BatchQuery& batch, BatchResults results);

}  // namespace velk

// Scoring of consecutive flat rows, the work of one range of the worker pool.
//
// Several implementations compute the same bits; the widest one the processor
// supports is chosen once per process.
#pragma once

#include <cstdint>
#include <span>

#include "similarity/batch.h"
#include "similarity/ranking.h"

namespace velk {

enum class RowKernel { scalar, sse2, avx2, avx512 };

// Every variant, narrowest first.
inline constexpr RowKernel kRowKernels[] = {RowKernel::scalar, RowKernel::sse2, RowKernel::avx2, RowKernel::avx512};

const char* row_kernel_name(RowKernel kernel) noexcept;
bool row_kernel_supported(RowKernel kernel) noexcept;
// The widest supported variant, decided on first use.
RowKernel active_row_kernel() noexcept;

// Scores rows [begin, end) of the context: out[i - begin] = {i, row_score(row i,
// query, query_norm)}. Rows must lie inside the embeddings.
void score_rows(const FlatScoringContext& context, std::uint64_t begin, std::uint64_t end, ScoredHit* out) noexcept;

// The same with a given variant, which must be supported.
void score_rows_with(RowKernel kernel, const FlatScoringContext& context, std::uint64_t begin, std::uint64_t end,
                     ScoredHit* out) noexcept;

}  // namespace velk

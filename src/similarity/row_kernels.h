// Flat row scoring, one instruction-set variant per function.
//
// The variants compute several rows side by side, one row per SIMD lane, and
// each lane adds its products one element at a time in element order, exactly
// like the scalar loop: rows are independent, so putting them next to each other
// changes no bit, while splitting one row's sum across lanes would. They leave
// NaN scores as the hardware produced them; score_rows recomputes every NaN with
// the careful scalar path, which pins down the NaN's sign and payload.
//
// Every SIMD variant is the loop of row_kernel_template.h instantiated in its own
// file, compiled for its instruction set; it must only run where the processor
// has that set.
#pragma once

#include <cstdint>

#include "similarity/scored_hit.h"

namespace velk {

// A run of consecutive flat rows to score, as plain pointers.
struct RowBatch {
  const float* first_row;     // the row that lands in out[0]
  std::uint64_t rows;         // rows to score, out[0 .. rows)
  std::uint64_t dim;          // row width, and the stride between rows
  const float* query;
  std::uint64_t dot_length;   // min(dim, query length)
  float query_norm;
  std::uint64_t first_index;  // row number of first_row
  ScoredHit* out;
};

// One row at a time, the reference loop.
void score_rows_scalar(const RowBatch& batch) noexcept;

#if defined(__x86_64__)
void score_rows_sse2(const RowBatch& batch) noexcept;
void score_rows_avx2(const RowBatch& batch) noexcept;
void score_rows_avx512(const RowBatch& batch) noexcept;
#endif

#if defined(__aarch64__)
void score_rows_neon(const RowBatch& batch) noexcept;
#endif

}  // namespace velk

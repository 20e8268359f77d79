// Flat row scoring, one instruction-set variant per function.
//
// The variants compute several rows side by side, one row per SIMD lane, and
// each lane adds its products one element at a time in element order, exactly
// like the scalar loop: rows are independent, so putting them next to each other
// changes no bit, while splitting one row's sum across lanes would. They leave
// NaN scores as the hardware produced them; score_rows recomputes every NaN with
// the careful scalar path, which pins down the NaN's sign and payload.
//
// The AVX2 and AVX-512 variants are compiled for those instruction sets
// function by function and must only run where the processor has them. Their
// files therefore use nothing from the standard library: an inline library
// function compiled there could be picked by the linker for the whole program.
#pragma once

#include <cstdint>

#include "similarity/ranking.h"

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

// The rows of one lane group starting at row `first` of the batch. A short last
// group repeats its last row in the spare lanes, which are computed and dropped.
template <int Lanes>
inline void group_rows(const RowBatch& batch, std::uint64_t first, std::uint64_t count,
                       const float* (&rows)[Lanes]) noexcept {
  for (std::uint64_t r = 0; r < Lanes; ++r) {
    rows[r] = batch.first_row + (first + (r < count ? r : count - 1)) * batch.dim;
  }
}

// Writes the first `count` lane scores of a group to its slots.
inline void store_group(const RowBatch& batch, std::uint64_t first, std::uint64_t count,
                        const float* lanes) noexcept {
  for (std::uint64_t r = 0; r < count; ++r) {
    batch.out[first + r].index = batch.first_index + first + r;
    batch.out[first + r].score = lanes[r];
  }
}

// One row at a time, the reference loop.
void score_rows_scalar(const RowBatch& batch) noexcept;

#if defined(__x86_64__)
void score_rows_sse2(const RowBatch& batch) noexcept;
void score_rows_avx2(const RowBatch& batch) noexcept;
void score_rows_avx512(const RowBatch& batch) noexcept;
#endif

}  // namespace velk

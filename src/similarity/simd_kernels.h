// The SIMD kernels of every level, and the one table that maps a level to them.
//
// Two kernels per level:
//  - the row scorer scores a run of consecutive rows against one query, several
//    rows side by side, one row per SIMD lane;
//  - the tile kernel packs a block of rows once, column by column, and then
//    scores it against one tile of queries after another.
// In both, each lane adds its row's rounded products in element order, from
// -0.0, never fused, exactly like the scalar loop: rows are independent, so
// putting them next to each other changes no bit, while splitting one row's sum
// across lanes would. Both leave a NaN score as the hardware made it; the top-k
// collector recomputes it with the careful scalar path, which pins down the
// NaN's sign and payload.
//
// Each level's kernels are the loops of row_kernel_template.h and
// tile_kernel_template.h instantiated in simd_kernels_<level>.cpp, compiled for
// that instruction set; they must only run where the processor has it. A new
// level is one traits header (simd_traits.h), one such file and one row in
// simd_kernels().
//
// This header pulls in no library header, so that those files may include it.
#pragma once

#include <cstdint>

#include "similarity/scored_hit.h"
#include "similarity/simd_level.h"
#include "similarity/storage.h"

namespace velk {

// A run of flat rows to score against one query, as plain pointers: rows
// that follow each other from first_row, or, when row_numbers is set, the
// rows row_numbers[0 .. rows) counted from first_row (a search of a subset
// reads only its own rows). The rows hold values of the storage type of the
// scorer they are handed to.
struct RowRun {
  const void* first_row;  // the row that lands in out[0], or row 0 of the numbered rows
  std::uint64_t rows;     // rows to score, out[0 .. rows)
  std::uint64_t dim;      // row width in values, and the stride between rows
  const float* query;
  std::uint64_t dot_length;  // min(dim, query length)
  float query_norm;
  std::uint64_t first_index;  // row number of first_row; unused with row_numbers
  ScoredHit* out;
  const std::uint64_t* row_numbers;  // nullptr for consecutive rows
};

// Rows [0, rows) of a block starting at first_row, each dim values wide, or,
// when row_numbers is set, the rows row_numbers[0 .. rows) counted from
// first_row; the values of the storage type of the packer they are handed to.
struct RowBlock {
  const void* first_row;
  std::uint64_t rows;
  std::uint64_t dim;
  const std::uint64_t* row_numbers;  // nullptr for consecutive rows
};

// A packed block: lane group g holds column c of its rows at
// panel[(g * dim + c) * lanes], one float per lane, and their squared norms
// and the square roots of those at squares[g * lanes] and roots[g * lanes].
// Lanes past the block's last row repeat that row.
struct PackedRows {
  float* panel;
  float* squares;
  float* roots;
  std::uint64_t groups;
  std::uint64_t dim;
};

// Up to max_queries queries, each dim floats, stored column by column: query j's
// element c at columns[c * count + j].
struct QueryTile {
  const float* columns;
  const float* norms;  // the queries' norms, as flat_top_k computes them
  std::uint64_t count;
};

struct TileKernel {
  std::uint64_t lanes;        // rows per lane group
  std::uint64_t group_step;   // packed blocks hold a multiple of this many lane groups
  std::uint64_t max_queries;  // queries per tile at most
  // Packs packed.groups lane groups of the block, widening its values to
  // float32; one packer per storage type, indexed by the type.
  void (*pack[kStorageCount])(const RowBlock& block, const PackedRows& packed) noexcept;
  // out[j * stride + r]: the score of packed row r against query j of the tile.
  void (*score)(const PackedRows& packed, const QueryTile& tile, float* out, std::uint64_t stride) noexcept;
};

struct SimdKernels {
  // out[r] = {first_index + r, score of row r}, NaN scores as the hardware
  // made them; one scorer per storage type, indexed by the type.
  void (*score_rows[kStorageCount])(const RowRun& run) noexcept;
  TileKernel tiles;

  void score(Storage storage, const RowRun& run) const noexcept { score_rows[static_cast<int>(storage)](run); }
  void pack(Storage storage, const RowBlock& block, const PackedRows& packed) const noexcept {
    tiles.pack[static_cast<int>(storage)](block, packed);
  }
};

// The kernels of a level the processor supports.
SimdKernels simd_kernels(SimdLevel level) noexcept;

#if defined(__x86_64__)
SimdKernels simd_kernels_sse2() noexcept;
SimdKernels simd_kernels_avx2() noexcept;
// The AVX2 table with the bfloat16, int8 and uint8 row scorers that score two
// lane groups at once.
SimdKernels simd_kernels_avx2_paired(SimdKernels avx2) noexcept;
SimdKernels simd_kernels_avx512() noexcept;
// The AVX-512 table with the int8 and uint8 row scorers of the VNNI level.
SimdKernels simd_kernels_avx512_vnni(SimdKernels avx512) noexcept;
#endif
#if defined(__aarch64__)
SimdKernels simd_kernels_neon() noexcept;
#endif

}  // namespace velk

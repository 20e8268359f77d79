// The batch search's kernels: a block of rows is packed once, column by column,
// and then scored against one tile of queries after another.
//
// Packing transposes each lane group of rows (kLanes rows) so that one vector
// load gives one column of all of them, and computes each row's squared norm
// on the way. Scoring keeps one accumulator per (lane group, query) of the
// tile: each lane adds its row's rounded products with one query in element
// order, from -0.0, never fused, so every score has the bits the single-query
// path gives it. As there, a NaN score is left as the hardware made it, for
// the caller to recompute with the careful scalar path.
#pragma once

#include <cstdint>

#include "similarity/row_scoring.h"

namespace velk {

// Rows [0, rows) of a block starting at first_row, each dim floats wide.
struct RowBlock {
  const float* first_row;
  std::uint64_t rows;
  std::uint64_t dim;
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
  // Packs packed.groups lane groups of the block.
  void (*pack)(const RowBlock& block, const PackedRows& packed) noexcept;
  // out[j * stride + r]: the score of packed row r against query j of the tile.
  void (*score)(const PackedRows& packed, const QueryTile& tile, float* out, std::uint64_t stride) noexcept;
};

// The kernels of a level the processor supports.
TileKernel tile_kernel(SimdLevel level) noexcept;

#if defined(__x86_64__)
TileKernel tile_kernel_sse2() noexcept;
TileKernel tile_kernel_avx2() noexcept;
TileKernel tile_kernel_avx512() noexcept;
#endif
#if defined(__aarch64__)
TileKernel tile_kernel_neon() noexcept;
#endif

}  // namespace velk

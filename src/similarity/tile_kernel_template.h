// The tile kernels (simd_kernels.h), written once over the traits of an
// instruction set (simd_traits.h). As with the row kernels, only files compiled
// for one set include this, everything here has internal linkage and nothing
// comes from the standard library.
//
// A tile of Queries queries is scored Groups lane groups at a time: for each
// column, Groups vector loads of the packed rows and one broadcast per query
// feed Groups x Queries multiplies and adds. Registers bound the shape: the
// accumulators, the loaded columns and a broadcast must fit.
#pragma once

#include <cstdint>

#include "similarity/row_kernel_template.h"
#include "similarity/simd_kernels.h"
#include "similarity/simd_traits.h"

namespace velk {
namespace {

// Lane groups per step for a tile of `queries`: small tiles take more groups,
// so that enough independent sums are in flight to hide the add's latency;
// larger ones a single group, whose columns are one sequential stream. With
// AVX-512 on two cores, one group against sixteen queries scored 44 G
// (row, query, element) products per core-second where two groups against
// eight scored 30.
constexpr std::uint64_t groups_per_step(std::uint64_t queries) noexcept {
  if (queries <= 2) return 4;
  if (queries <= 4) return 2;
  return 1;
}
constexpr std::uint64_t kGroupStep = 4;  // a multiple of every groups_per_step

// The rows of lane group `g` of the block; a short last group repeats the
// block's last row in its spare lanes.
template <class E, std::uint64_t Lanes>
inline void packed_group_rows(const RowBlock& block, std::uint64_t g, const E* (&rows)[Lanes]) noexcept {
  const E* const base = static_cast<const E*>(block.first_row);
  for (std::uint64_t r = 0; r < Lanes; ++r) {
    const std::uint64_t at = g * Lanes + r < block.rows ? g * Lanes + r : block.rows - 1;
    rows[r] = base + (block.row_numbers != nullptr ? block.row_numbers[at] : at) * block.dim;
  }
}

// The block's values are stored as E; they are widened to float32 as they
// are loaded, so the panel holds exactly the float32 copy's values.
template <class T, class E>
void pack_rows(const RowBlock& block, const PackedRows& packed) noexcept {
  constexpr std::uint64_t kLanes = T::kLanes;
  using Vector = T::Vector;
  const std::uint64_t dim = block.dim;
  for (std::uint64_t g = 0; g < packed.groups; ++g) {
    const E* rows[kLanes];
    packed_group_rows(block, g, rows);
    // The next group's rows, which each load asks for ahead of time.
    const E* next[kLanes];
    packed_group_rows(block, g + 1 < packed.groups ? g + 1 : g, next);
    float* out = packed.panel + g * dim * kLanes;
    Vector squares = T::broadcast(-0.0f);
    Vector x[kLanes];
    std::uint64_t c = 0;
    for (; c + kLanes <= dim; c += kLanes) {
      for (std::uint64_t r = 0; r < kLanes; ++r) {
        if constexpr (T::kPrefetch) {
          // The same place in the next lane group, into the second-level
          // cache, as the row kernels ask for it: the group's kLanes short
          // streams become one sequential stream read a group ahead. An
          // address past the array is harmless: a prefetch never faults.
          __builtin_prefetch(next[r] + c, 0, 2);
        }
        x[r] = T::load(rows[r] + c);
      }
      T::transpose(x);
      for (std::uint64_t j = 0; j < kLanes; ++j) {
        T::store(out + (c + j) * kLanes, x[j]);
        squares = T::add(squares, T::mul(x[j], x[j]));
      }
    }
    if (c < dim) {
      const std::uint64_t width = dim - c;
      for (std::uint64_t r = 0; r < kLanes; ++r) x[r] = T::load_first(rows[r] + c, width);
      T::transpose(x);
      for (std::uint64_t j = 0; j < width; ++j) {
        T::store(out + (c + j) * kLanes, x[j]);
        squares = T::add(squares, T::mul(x[j], x[j]));
      }
    }
    T::store(packed.squares + g * kLanes, squares);
    T::store(packed.roots + g * kLanes, T::sqrt(squares));
  }
}

template <class T, std::uint64_t Groups, std::uint64_t Queries>
inline void score_step(const PackedRows& packed, std::uint64_t first_group, const QueryTile& tile, float* out,
                       std::uint64_t stride) noexcept {
  constexpr std::uint64_t kLanes = T::kLanes;
  using Vector = T::Vector;
  const std::uint64_t dim = packed.dim;
  const float* panel[Groups];
  Vector sums[Groups][Queries];
  for (std::uint64_t g = 0; g < Groups; ++g) {
    panel[g] = packed.panel + (first_group + g) * dim * kLanes;
    for (std::uint64_t j = 0; j < Queries; ++j) sums[g][j] = T::broadcast(-0.0f);
  }
  const float* query = tile.columns;
  for (std::uint64_t c = 0; c < dim; ++c, query += Queries) {
    Vector x[Groups];
    for (std::uint64_t g = 0; g < Groups; ++g) x[g] = T::load(panel[g] + c * kLanes);
    for (std::uint64_t j = 0; j < Queries; ++j) {
      const Vector q = T::broadcast(query[j]);
      for (std::uint64_t g = 0; g < Groups; ++g) sums[g][j] = T::add(sums[g][j], T::mul(x[g], q));
    }
  }
  // score = dot / (sqrt(squares) * query_norm) where squares > 0, else +0.0.
  for (std::uint64_t g = 0; g < Groups; ++g) {
    const std::uint64_t at = (first_group + g) * kLanes;
    const Vector squares = T::load(packed.squares + at);
    const Vector root = T::load(packed.roots + at);
    for (std::uint64_t j = 0; j < Queries; ++j) {
      const Vector denominator = T::mul(root, T::broadcast(tile.norms[j]));
      T::store(out + j * stride + at, T::zero_unless_positive(squares, T::div(sums[g][j], denominator)));
    }
  }
}

template <class T, std::uint64_t Queries>
void score_tile_of(const PackedRows& packed, const QueryTile& tile, float* out, std::uint64_t stride) noexcept {
  constexpr std::uint64_t kGroups = groups_per_step(Queries);
  for (std::uint64_t g = 0; g < packed.groups; g += kGroups) {
    score_step<T, kGroups, Queries>(packed, g, tile, out, stride);
  }
}

template <class T, std::uint64_t MaxQueries, std::uint64_t Queries = 1>
void score_tile(const PackedRows& packed, const QueryTile& tile, float* out, std::uint64_t stride) noexcept {
  if constexpr (Queries < MaxQueries) {
    if (tile.count != Queries) {
      score_tile<T, MaxQueries, Queries + 1>(packed, tile, out, stride);
      return;
    }
  }
  score_tile_of<T, Queries>(packed, tile, out, stride);
}

// The kernels of one instruction set; MaxQueries is bound by its register count.
template <class T, std::uint64_t MaxQueries>
TileKernel tile_kernel_of() noexcept {
  return {T::kLanes,
          kGroupStep,
          MaxQueries,
          {pack_rows<T, float>, pack_rows<T, Half>, pack_rows<T, BrainHalf>, pack_rows<T, std::int8_t>,
           pack_rows<T, std::uint8_t>},
          score_tile<T, MaxQueries>};
}

// Every kernel of one instruction set, the row scorers of row_kernel_template.h
// included, in the order of Storage.
template <class T, std::uint64_t MaxQueries>
SimdKernels simd_kernels_of() noexcept {
  return {{score_lane_groups<T, float>, score_lane_groups<T, Half>, score_lane_groups<T, BrainHalf>,
           score_lane_groups<T, std::int8_t>, score_lane_groups<T, std::uint8_t>},
          tile_kernel_of<T, MaxQueries>()};
}

}  // namespace
}  // namespace velk

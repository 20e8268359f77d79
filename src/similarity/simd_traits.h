// What the SIMD kernels need of an instruction set, as a traits type: the row
// kernels (row_kernel_template.h) and the tile kernels (tile_kernel_template.h)
// are written once over it, and simd_<set>.h defines it for each set.
//
// Each simd_<set>.h may only be included by files compiled for that set, and
// everything in them has internal linkage (see row_kernel_template.h).
//
// A traits type T provides, all static and noexcept:
//   Vector, kLanes               a register of kLanes floats
//   kPrefetch                    whether to prefetch each lane's next row
//                                while loading full blocks
//   load(p)                      kLanes consecutive values from p, widened to
//                                float32 exactly; p points to float, Half,
//                                BrainHalf, std::int8_t or std::uint8_t
//   load_first(p, count)         the first count (< kLanes) values from p,
//                                widened, zeros after them; reads nothing at or
//                                past p + count
//   transpose(x)                 x[r] holds kLanes elements of row r on entry,
//                                x[j] column j of the kLanes rows on exit
//   broadcast(f), add, mul,      lane by lane, each result rounded; never a
//   sqrt, div                    fused multiply-add
//   zero_unless_positive(s, v)   v in the lanes where s > 0, +0.0 in the others
//                                (NaN lanes of s included)
//   store(out, v)                kLanes floats to out
//
// Optional, for wide blocks of 8-bit and bfloat16 values (row_kernel_template.h),
// and for the 8-bit ones the integer sums of squares:
//   wide_columns, load_wide,     kLanes rows of a cache line each, transposed
//   widen_units                  as 32-bit units, then widened
//   widen_units_scaled           the same values times 2^24, for the query
//                                times 2^-24
//   Integers, integer_zero,      the exact integer sums of the squares of
//   add_unit_squares(e, units,   those units, as two 32-bit sums per row;
//   sums), squares_of(e, sums)   their total as floats
//   any_at_least(v, bound)       whether some lane of v is >= bound
//   paired_columns, load_paired  blocks of two lane groups scored side by side
//   paired_unit_squares(e,       for paired blocks, the exact integer sums of
//   units, sums),                the squares, one 32-bit sum per row, and
//   paired_squares_of(e, sums)   that sum as floats
#pragma once

#include <cstdint>

#include "similarity/storage.h"

namespace velk {
namespace {

// Whether a block of `values` values of each row, from `column` on, holds the
// start of a 64-byte stretch of the row. A load that prefetches the next rows
// does so only then: each of their cache lines is asked for about once, not
// once per block.
template <class E>
constexpr bool starts_line(std::uint64_t column, std::uint64_t values) noexcept {
  return (column * sizeof(E)) % 64 < values * sizeof(E);
}

// load_first for instruction sets without a masked load of these values: the
// few values are copied into a zeroed block first (a zero of every storage
// type widens to +0.0).
template <class T, class E>
inline T::Vector load_first_through_copy(const E* p, std::uint64_t count) noexcept {
  E block[T::kLanes] = {};
  for (std::uint64_t i = 0; i < count; ++i) block[i] = p[i];
  return T::load(block);
}

// kLanes float16 values widened one by one into a block of floats: for
// instruction sets without a half-precision conversion.
template <class T>
inline T::Vector load_halves_one_by_one(const Half* p) noexcept {
  float block[T::kLanes];
  for (int i = 0; i < T::kLanes; ++i) block[i] = widen(p[i]);
  return T::load(block);
}

}  // namespace
}  // namespace velk

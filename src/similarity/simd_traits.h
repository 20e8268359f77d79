// What the SIMD kernels need of an instruction set, as a traits type: the row
// kernels (row_kernel_template.h) and the tile kernels (tile_kernel_template.h)
// are written once over it, and simd_<set>.h defines it for each set.
//
// Each simd_<set>.h may only be included by files compiled for that set, and
// everything in them has internal linkage (see row_kernel_template.h).
//
// A traits type T provides, all static and noexcept:
//   Vector, kLanes               a register of kLanes floats
//   kPrefetch                    whether to prefetch the next lane group
//                                while loading full blocks
//   load(p)                      kLanes consecutive floats from p
//   load_first(p, count)         the first count (< kLanes) floats from p, zeros
//                                after them; reads nothing at or past p + count
//   transpose(x)                 x[r] holds kLanes elements of row r on entry,
//                                x[j] column j of the kLanes rows on exit
//   broadcast(f), add, mul,      lane by lane, each result rounded; never a
//   sqrt, div                    fused multiply-add
//   zero_unless_positive(s, v)   v in the lanes where s > 0, +0.0 in the others
//                                (NaN lanes of s included)
//   store(out, v)                kLanes floats to out
#pragma once

#include <cstdint>

namespace velk {
namespace {

// load_first for instruction sets without a masked load: the few floats are
// copied into a zeroed block first.
template <class T>
inline T::Vector load_first_through_copy(const float* p, std::uint64_t count) noexcept {
  float block[T::kLanes] = {};
  for (std::uint64_t i = 0; i < count; ++i) block[i] = p[i];
  return T::load(block);
}

}  // namespace
}  // namespace velk

// The tile kernels on NEON: four rows per lane group. Thirty-two registers
// hold the accumulators of one lane group against sixteen queries.
#include "similarity/simd_neon.h"
#include "similarity/tile_kernel_template.h"

#if defined(__aarch64__)
namespace velk {

TileKernel tile_kernel_neon() noexcept { return tile_kernel_of<Neon, 16>(); }

}  // namespace velk
#endif

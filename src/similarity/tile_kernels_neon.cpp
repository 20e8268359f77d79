// The tile kernels on NEON: four rows per lane group. Thirty-two registers
// hold the accumulators of two lane groups against eight queries.
#include "similarity/simd_neon.h"
#include "similarity/tile_kernel_template.h"

#if defined(__aarch64__)
namespace velk {

TileKernel tile_kernel_neon() noexcept { return tile_kernel_of<Neon, 8>(); }

}  // namespace velk
#endif

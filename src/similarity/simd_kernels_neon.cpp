// The kernels on NEON, the baseline of every 64-bit ARM processor: four rows
// side by side in the lanes of a 128-bit register; thirty-two registers hold the
// tile accumulators of one lane group against sixteen queries.
#include "similarity/simd_neon.h"
#include "similarity/tile_kernel_template.h"

#if defined(__aarch64__)
namespace velk {

SimdKernels simd_kernels_neon() noexcept { return simd_kernels_of<Neon, 16>(); }

}  // namespace velk
#endif

// The kernels on SSE2, the baseline of every x86-64 processor: four rows side
// by side in the lanes of a 128-bit register; sixteen registers hold the tile
// accumulators of one lane group against at most twelve queries.
#include "similarity/simd_sse2.h"
#include "similarity/tile_kernel_template.h"

#if defined(__x86_64__)
namespace velk {

SimdKernels simd_kernels_sse2() noexcept { return simd_kernels_of<Sse2, 12>(); }

}  // namespace velk
#endif

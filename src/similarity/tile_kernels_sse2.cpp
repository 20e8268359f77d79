// The tile kernels on SSE2: four rows per lane group. Sixteen registers hold
// the accumulators of one lane group against at most twelve queries.
#include "similarity/simd_sse2.h"
#include "similarity/tile_kernel_template.h"

#if defined(__x86_64__)
namespace velk {

TileKernel tile_kernel_sse2() noexcept { return tile_kernel_of<Sse2, 12>(); }

}  // namespace velk
#endif

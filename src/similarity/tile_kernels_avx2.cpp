// The tile kernels on AVX2: eight rows per lane group. Sixteen registers hold
// the accumulators of one lane group against at most twelve queries. The whole file is compiled for
// AVX2 (CMakeLists.txt) and used only where the processor has it.
#include "similarity/simd_avx2.h"
#include "similarity/tile_kernel_template.h"

#if defined(__x86_64__)
namespace velk {

TileKernel tile_kernel_avx2() noexcept { return tile_kernel_of<Avx2, 12>(); }

}  // namespace velk
#endif

// The kernels on AVX2: eight rows side by side in the lanes of a 256-bit
// register; sixteen registers hold the tile accumulators of one lane group
// against at most twelve queries. The whole file is compiled for AVX2 and F16C
// (CMakeLists.txt), which widens float16, and simd_kernels() hands it out only
// where the processor has both.
#include "similarity/simd_avx2.h"
#include "similarity/tile_kernel_template.h"

#if defined(__x86_64__)
namespace velk {

SimdKernels simd_kernels_avx2() noexcept { return simd_kernels_of<Avx2, 12>(); }

}  // namespace velk
#endif

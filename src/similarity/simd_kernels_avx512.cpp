// The kernels on AVX-512F: sixteen rows side by side in the lanes of a 512-bit
// register; thirty-two registers hold the tile accumulators of one lane group
// against sixteen queries. The whole file is compiled for AVX-512F
// (CMakeLists.txt) and simd_kernels() hands it out only where the processor has
// AVX-512F.
#include "similarity/simd_avx512.h"
#include "similarity/tile_kernel_template.h"

#if defined(__x86_64__)
namespace velk {

SimdKernels simd_kernels_avx512() noexcept { return simd_kernels_of<Avx512, 16>(); }

}  // namespace velk
#endif

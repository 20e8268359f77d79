// The tile kernels on AVX-512F: sixteen rows per lane group. Thirty-two
// registers hold the accumulators of one lane group against sixteen queries.
// The whole file is compiled for AVX-512F (CMakeLists.txt) and used only where
// the processor has it.
#include "similarity/simd_avx512.h"
#include "similarity/tile_kernel_template.h"

#if defined(__x86_64__)
namespace velk {

TileKernel tile_kernel_avx512() noexcept { return tile_kernel_of<Avx512, 16>(); }

}  // namespace velk
#endif

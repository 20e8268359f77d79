// Sixteen rows side by side in the lanes of a 512-bit register. The whole file
// is compiled for AVX-512F (CMakeLists.txt), and row_scoring.cpp calls it only
// where the processor has AVX-512F.
#include "similarity/row_kernel_template.h"
#include "similarity/simd_avx512.h"

#if defined(__x86_64__)
namespace velk {

void score_rows_avx512(const RowBatch& batch) noexcept { score_lane_groups<Avx512>(batch); }

}  // namespace velk
#endif

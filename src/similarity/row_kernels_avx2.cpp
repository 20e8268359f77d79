// Eight rows side by side in the lanes of a 256-bit register. The whole file is
// compiled for AVX2 (CMakeLists.txt), and row_scoring.cpp calls it only where
// the processor has AVX2.
#include "similarity/row_kernel_template.h"
#include "similarity/simd_avx2.h"

#if defined(__x86_64__)
namespace velk {

void score_rows_avx2(const RowBatch& batch) noexcept { score_lane_groups<Avx2>(batch); }

}  // namespace velk
#endif

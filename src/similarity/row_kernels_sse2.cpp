// Four rows side by side in the lanes of a 128-bit register, the baseline of
// every x86-64 processor.
#include "similarity/row_kernel_template.h"
#include "similarity/simd_sse2.h"

#if defined(__x86_64__)
namespace velk {

void score_rows_sse2(const RowBatch& batch) noexcept { score_lane_groups<Sse2>(batch); }

}  // namespace velk
#endif

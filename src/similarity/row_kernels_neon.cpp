// Four rows side by side in the lanes of a 128-bit NEON register, the baseline
// of every 64-bit ARM processor.
#include "similarity/row_kernel_template.h"
#include "similarity/simd_neon.h"

#if defined(__aarch64__)
namespace velk {

void score_rows_neon(const RowBatch& batch) noexcept { score_lane_groups<Neon>(batch); }

}  // namespace velk
#endif

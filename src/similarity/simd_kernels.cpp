#include "similarity/simd_kernels.h"

#include <span>

#include "similarity/cosine.h"
#include "similarity/tile_kernel_template.h"

namespace velk {
namespace {

// One row at a time, the reference loop.
template <class E>
void score_rows_scalar(const RowRun& run) noexcept {
  const std::span<const float> query(run.query, run.dot_length);
  const E* const base = static_cast<const E*>(run.first_row);
  for (std::uint64_t r = 0; r < run.rows; ++r) {
    const std::uint64_t index = run.row_numbers != nullptr ? run.row_numbers[r] : run.first_index + r;
    const std::uint64_t at = run.row_numbers != nullptr ? run.row_numbers[r] : r;
    run.out[r] = {index, row_score(kStorageOf<E>, base + at * run.dim, run.dim, query, run.query_norm)};
  }
}

// One row per lane group: the tile loops on plain floats, for processors
// without a SIMD level of ours, and as the reference for the others.
struct Scalar {
  using Vector = float;
  static constexpr int kLanes = 1;
  static constexpr bool kPrefetch = false;

  template <class E>
  static Vector load(const E* p) noexcept {
    return widen(*p);
  }
  template <class E>
  static Vector load_first(const E*, std::uint64_t) noexcept {
    return 0.0f;  // count is always 0 here
  }
  static void transpose(Vector (&)[kLanes]) noexcept {}
  static Vector broadcast(float f) noexcept { return f; }
  static Vector add(Vector a, Vector b) noexcept { return a + b; }
  static Vector mul(Vector a, Vector b) noexcept { return a * b; }
  static Vector sqrt(Vector a) noexcept { return __builtin_sqrtf(a); }
  static Vector div(Vector a, Vector b) noexcept { return a / b; }
  static Vector zero_unless_positive(Vector squares, Vector value) noexcept { return squares > 0.0f ? value : 0.0f; }
  static void store(float* out, Vector v) noexcept { *out = v; }
};

}  // namespace

SimdKernels simd_kernels(SimdLevel level) noexcept {
  switch (level) {
#if defined(__x86_64__)
    case SimdLevel::sse2:
      return simd_kernels_sse2();
    case SimdLevel::avx2:
      return simd_kernels_avx2_paired(simd_kernels_avx2());
    case SimdLevel::avx512:
      return simd_kernels_avx512();
    case SimdLevel::avx512vnni:
      return simd_kernels_avx512_vnni(simd_kernels_avx512());
#endif
#if defined(__aarch64__)
    case SimdLevel::neon:
      return simd_kernels_neon();
#endif
    default:
      return {{score_rows_scalar<float>, score_rows_scalar<Half>, score_rows_scalar<BrainHalf>,
               score_rows_scalar<std::int8_t>, score_rows_scalar<std::uint8_t>},
              tile_kernel_of<Scalar, 8>()};
  }
}

}  // namespace velk

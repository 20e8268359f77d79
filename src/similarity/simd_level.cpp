#include "similarity/simd_level.h"

namespace velk {
namespace {

SimdLevel widest_supported() noexcept {
  SimdLevel widest = SimdLevel::scalar;
  for (const SimdLevel level : kSimdLevels) {
    if (simd_level_supported(level)) widest = level;
  }
  return widest;
}

}  // namespace

const char* simd_level_name(SimdLevel level) noexcept {
  switch (level) {
    case SimdLevel::sse2:
      return "sse2";
    case SimdLevel::avx2:
      return "avx2";
    case SimdLevel::avx512:
      return "avx512";
    case SimdLevel::avx512vnni:
      return "avx512vnni";
    case SimdLevel::neon:
      return "neon";
    default:
      return "scalar";
  }
}

bool simd_level_supported(SimdLevel level) noexcept {
#if defined(__x86_64__)
  __builtin_cpu_init();
  switch (level) {
    case SimdLevel::scalar:
    case SimdLevel::sse2:
      return true;
    case SimdLevel::avx2:
      // Its kernels widen float16 with F16C, which every AVX2 processor has.
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c");
    case SimdLevel::avx512:
      return __builtin_cpu_supports("avx512f");
    case SimdLevel::avx512vnni:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vnni");
    default:
      return false;
  }
#elif defined(__aarch64__)
  // NEON is part of the 64-bit ARM baseline.
  return level == SimdLevel::scalar || level == SimdLevel::neon;
#else
  return level == SimdLevel::scalar;
#endif
}

SimdLevel active_simd_level() noexcept {
  static const SimdLevel chosen = widest_supported();
  return chosen;
}

}  // namespace velk

// The SIMD instruction-set levels the scoring kernels are built for, and which
// of them this processor can run.
//
// Several kernels, one per level, compute the same bits; the widest level the
// processor supports is chosen once per process. This header pulls in no
// library header, so that files compiled for one instruction set may include it.
#pragma once

namespace velk {

// avx512vnni is avx512 whose int8 and uint8 kernels also sum squares with the
// VNNI integer dot product.
enum class SimdLevel { scalar, sse2, avx2, avx512, avx512vnni, neon };

// The levels built for this processor family, narrowest first.
#if defined(__x86_64__)
inline constexpr SimdLevel kSimdLevels[] = {SimdLevel::scalar, SimdLevel::sse2, SimdLevel::avx2, SimdLevel::avx512,
                                            SimdLevel::avx512vnni};
#elif defined(__aarch64__)
inline constexpr SimdLevel kSimdLevels[] = {SimdLevel::scalar, SimdLevel::neon};
#else
inline constexpr SimdLevel kSimdLevels[] = {SimdLevel::scalar};
#endif

const char* simd_level_name(SimdLevel level) noexcept;
bool simd_level_supported(SimdLevel level) noexcept;
// The widest supported level, decided on first use.
SimdLevel active_simd_level() noexcept;

}  // namespace velk

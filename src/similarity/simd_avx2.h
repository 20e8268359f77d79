// The traits of AVX2, eight floats per 256-bit register (simd_traits.h).
#pragma once

#include <cstdint>

#include "similarity/simd_traits.h"

#if defined(__x86_64__)
#if !defined(__AVX2__) || !defined(__F16C__)
#error "simd_avx2.h must be compiled with -mavx2 -mf16c"
#endif
#include <immintrin.h>

namespace velk {
namespace {

struct Avx2 {
  using Vector = __m256;
  static constexpr int kLanes = 8;
  static constexpr bool kPrefetch = true;

  static Vector load(const float* p) noexcept { return _mm256_loadu_ps(p); }
  static Vector load_first(const float* p, std::uint64_t count) noexcept {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), lane);
    return _mm256_maskload_ps(p, mask);
  }
  static Vector load(const Half* p) noexcept {
    return _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  static Vector load(const BrainHalf* p) noexcept {
    const __m256i wide = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    return _mm256_castsi256_ps(_mm256_slli_epi32(wide, 16));
  }
  static Vector load(const std::int8_t* p) noexcept {
    return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
  }
  static Vector load(const std::uint8_t* p) noexcept {
    return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
  }
  template <class E>
  static Vector load_first(const E* p, std::uint64_t count) noexcept {
    return load_first_through_copy<Avx2>(p, count);
  }
  static void transpose(Vector (&x)[kLanes]) noexcept {
    Vector t[kLanes];
    for (int r = 0; r < kLanes; r += 2) {
      t[r] = _mm256_unpacklo_ps(x[r], x[r + 1]);
      t[r + 1] = _mm256_unpackhi_ps(x[r], x[r + 1]);
    }
    // Within each 128-bit half k, u[4g + m] holds column 4k + m of rows 4g .. 4g + 3.
    Vector u[kLanes];
    for (int g = 0; g < kLanes; g += 4) {
      u[g] = _mm256_shuffle_ps(t[g], t[g + 2], 0x44);
      u[g + 1] = _mm256_shuffle_ps(t[g], t[g + 2], 0xEE);
      u[g + 2] = _mm256_shuffle_ps(t[g + 1], t[g + 3], 0x44);
      u[g + 3] = _mm256_shuffle_ps(t[g + 1], t[g + 3], 0xEE);
    }
    for (int m = 0; m < 4; ++m) {
      x[m] = _mm256_permute2f128_ps(u[m], u[4 + m], 0x20);
      x[4 + m] = _mm256_permute2f128_ps(u[m], u[4 + m], 0x31);
    }
  }
  // Wide blocks (row_kernel_template.h): eight rows of 32 bytes, transposed
  // as 32-bit units; each unit then holds four int8 or uint8 values, or two
  // bfloat16 ones, of one row, which shifts and masks widen.
  static constexpr std::uint64_t wide_columns(const std::int8_t*) noexcept { return 32; }
  static constexpr std::uint64_t wide_columns(const std::uint8_t*) noexcept { return 32; }
  static constexpr std::uint64_t wide_columns(const BrainHalf*) noexcept { return 16; }

  template <class E>
  static void load_wide(const E* const (&rows)[kLanes], std::uint64_t column, const E* const (&next)[kLanes],
                        Vector (&x)[kLanes]) noexcept {
    const bool prefetch = starts_line<E>(column, wide_columns(rows[0]));
    for (int r = 0; r < kLanes; ++r) {
      if (prefetch) __builtin_prefetch(next[r] + column, 0, 2);
      x[r] = _mm256_loadu_ps(reinterpret_cast<const float*>(rows[r] + column));
    }
    transpose(x);
  }

  // Byte b of each unit to the top, then back down with its sign.
  static void widen_units(const std::int8_t*, Vector packed, Vector (&out)[4]) noexcept {
    const __m256i units = _mm256_castps_si256(packed);
    out[0] = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(units, 24), 24));
    out[1] = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(units, 16), 24));
    out[2] = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(units, 8), 24));
    out[3] = _mm256_cvtepi32_ps(_mm256_srai_epi32(units, 24));
  }
  static void widen_units(const std::uint8_t*, Vector packed, Vector (&out)[4]) noexcept {
    const __m256i units = _mm256_castps_si256(packed);
    const __m256i byte = _mm256_set1_epi32(0xFF);
    out[0] = _mm256_cvtepi32_ps(_mm256_and_si256(units, byte));
    out[1] = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(units, 8), byte));
    out[2] = _mm256_cvtepi32_ps(_mm256_and_si256(_mm256_srli_epi32(units, 16), byte));
    out[3] = _mm256_cvtepi32_ps(_mm256_srli_epi32(units, 24));
  }
  // The low half of each unit is the earlier column.
  static void widen_units(const BrainHalf*, Vector packed, Vector (&out)[2]) noexcept {
    const __m256i units = _mm256_castps_si256(packed);
    out[0] = _mm256_castsi256_ps(_mm256_slli_epi32(units, 16));
    out[1] = _mm256_castsi256_ps(_mm256_and_si256(units, _mm256_set1_epi32(static_cast<int>(0xFFFF0000u))));
  }

  static Vector broadcast(float f) noexcept { return _mm256_set1_ps(f); }
  static Vector add(Vector a, Vector b) noexcept { return _mm256_add_ps(a, b); }
  static Vector mul(Vector a, Vector b) noexcept { return _mm256_mul_ps(a, b); }
  static Vector sqrt(Vector a) noexcept { return _mm256_sqrt_ps(a); }
  static Vector div(Vector a, Vector b) noexcept { return _mm256_div_ps(a, b); }
  static Vector zero_unless_positive(Vector squares, Vector value) noexcept {
    return _mm256_and_ps(_mm256_cmp_ps(squares, _mm256_setzero_ps(), _CMP_GT_OQ), value);
  }
  static void store(float* out, Vector v) noexcept { _mm256_storeu_ps(out, v); }
};

}  // namespace
}  // namespace velk
#endif

// The traits of AVX-512F, sixteen floats per 512-bit register (simd_traits.h).
#pragma once

#include <cstdint>

#include "similarity/simd_traits.h"

#if defined(__x86_64__)
#if !defined(__AVX512F__)
#error "simd_avx512.h must be compiled with -mavx512f"
#endif
#include <immintrin.h>

// GCC 12's AVX-512 intrinsics start from a deliberately undefined register,
// which its own flow analysis then reports.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

namespace velk {
namespace {

struct Avx512 {
  using Vector = __m512;
  static constexpr int kLanes = 16;
  static constexpr bool kPrefetch = true;

  static Vector load(const float* p) noexcept { return _mm512_loadu_ps(p); }
  static Vector load_first(const float* p, std::uint64_t count) noexcept {
    return _mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << count) - 1u), p);
  }
  static Vector load(const Half* p) noexcept {
    return _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  }
  static Vector load(const BrainHalf* p) noexcept {
    const __m512i wide = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
    return _mm512_castsi512_ps(_mm512_slli_epi32(wide, 16));
  }
  static Vector load(const std::int8_t* p) noexcept {
    return _mm512_cvtepi32_ps(_mm512_cvtepi8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
  }
  static Vector load(const std::uint8_t* p) noexcept {
    return _mm512_cvtepi32_ps(_mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
  }
  // The narrow types' masked loads need AVX-512BW, which this level does not
  // ask for.
  template <class E>
  static Vector load_first(const E* p, std::uint64_t count) noexcept {
    return load_first_through_copy<Avx512>(p, count);
  }
  static void transpose(Vector (&x)[kLanes]) noexcept {
    Vector t[kLanes];
    for (int r = 0; r < kLanes; r += 2) {
      t[r] = _mm512_unpacklo_ps(x[r], x[r + 1]);
      t[r + 1] = _mm512_unpackhi_ps(x[r], x[r + 1]);
    }
    // Within each 128-bit lane k, u[4g + m] now holds column 4k + m of rows
    // 4g .. 4g + 3.
    Vector u[kLanes];
    for (int g = 0; g < kLanes; g += 4) {
      const __m512d a = _mm512_castps_pd(t[g]);
      const __m512d b = _mm512_castps_pd(t[g + 1]);
      const __m512d c = _mm512_castps_pd(t[g + 2]);
      const __m512d d = _mm512_castps_pd(t[g + 3]);
      u[g] = _mm512_castpd_ps(_mm512_unpacklo_pd(a, c));
      u[g + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(a, c));
      u[g + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(b, d));
      u[g + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(b, d));
    }
    for (int m = 0; m < 4; ++m) {
      const Vector v0 = _mm512_shuffle_f32x4(u[m], u[4 + m], 0x44);
      const Vector v1 = _mm512_shuffle_f32x4(u[m], u[4 + m], 0xEE);
      const Vector v2 = _mm512_shuffle_f32x4(u[8 + m], u[12 + m], 0x44);
      const Vector v3 = _mm512_shuffle_f32x4(u[8 + m], u[12 + m], 0xEE);
      x[m] = _mm512_shuffle_f32x4(v0, v2, 0x88);
      x[4 + m] = _mm512_shuffle_f32x4(v0, v2, 0xDD);
      x[8 + m] = _mm512_shuffle_f32x4(v1, v3, 0x88);
      x[12 + m] = _mm512_shuffle_f32x4(v1, v3, 0xDD);
    }
  }
  // Wide blocks (row_kernel_template.h): sixteen rows of 64 bytes, one cache
  // line each, transposed as 32-bit units; each unit then holds four int8 or
  // uint8 values, or two bfloat16 ones, of one row, which shifts and masks
  // widen.
  static constexpr std::uint64_t wide_columns(const std::int8_t*) noexcept { return 64; }
  static constexpr std::uint64_t wide_columns(const std::uint8_t*) noexcept { return 64; }
  static constexpr std::uint64_t wide_columns(const BrainHalf*) noexcept { return 32; }

  template <class E>
  static void load_wide(const E* const (&rows)[kLanes], std::uint64_t column, const E* const (&next)[kLanes],
                        Vector (&x)[kLanes]) noexcept {
    for (int r = 0; r < kLanes; ++r) {
      __builtin_prefetch(next[r] + column, 0, 2);
      x[r] = _mm512_loadu_ps(reinterpret_cast<const float*>(rows[r] + column));
    }
    transpose(x);
  }

  // Byte b of each unit to the top, then back down with its sign.
  static void widen_units(const std::int8_t*, Vector packed, Vector (&out)[4]) noexcept {
    const __m512i units = _mm512_castps_si512(packed);
    out[0] = _mm512_cvtepi32_ps(_mm512_srai_epi32(_mm512_slli_epi32(units, 24), 24));
    out[1] = _mm512_cvtepi32_ps(_mm512_srai_epi32(_mm512_slli_epi32(units, 16), 24));
    out[2] = _mm512_cvtepi32_ps(_mm512_srai_epi32(_mm512_slli_epi32(units, 8), 24));
    out[3] = _mm512_cvtepi32_ps(_mm512_srai_epi32(units, 24));
  }
  static void widen_units(const std::uint8_t*, Vector packed, Vector (&out)[4]) noexcept {
    const __m512i units = _mm512_castps_si512(packed);
    const __m512i byte = _mm512_set1_epi32(0xFF);
    out[0] = _mm512_cvtepi32_ps(_mm512_and_si512(units, byte));
    out[1] = _mm512_cvtepi32_ps(_mm512_and_si512(_mm512_srli_epi32(units, 8), byte));
    out[2] = _mm512_cvtepi32_ps(_mm512_and_si512(_mm512_srli_epi32(units, 16), byte));
    out[3] = _mm512_cvtepi32_ps(_mm512_srli_epi32(units, 24));
  }
  // The low half of each unit is the earlier column.
  static void widen_units(const BrainHalf*, Vector packed, Vector (&out)[2]) noexcept {
    const __m512i units = _mm512_castps_si512(packed);
    out[0] = _mm512_castsi512_ps(_mm512_slli_epi32(units, 16));
    out[1] = _mm512_castsi512_ps(_mm512_and_si512(units, _mm512_set1_epi32(static_cast<int>(0xFFFF0000u))));
  }

  static Vector broadcast(float f) noexcept { return _mm512_set1_ps(f); }
  static Vector add(Vector a, Vector b) noexcept { return _mm512_add_ps(a, b); }
  static Vector mul(Vector a, Vector b) noexcept { return _mm512_mul_ps(a, b); }
  static Vector sqrt(Vector a) noexcept { return _mm512_sqrt_ps(a); }
  static Vector div(Vector a, Vector b) noexcept { return _mm512_div_ps(a, b); }
  static Vector zero_unless_positive(Vector squares, Vector value) noexcept {
    return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(squares, _mm512_setzero_ps(), _CMP_GT_OQ), value);
  }
  static void store(float* out, Vector v) noexcept { _mm512_storeu_ps(out, v); }
};

}  // namespace
}  // namespace velk
#endif

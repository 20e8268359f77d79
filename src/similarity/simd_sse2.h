// The traits of SSE2, four floats per 128-bit register, the baseline of every x86-64 processor (simd_traits.h).
#pragma once

#include <cstdint>

#include "similarity/simd_traits.h"

#if defined(__x86_64__)
#include <emmintrin.h>

namespace velk {
namespace {

template <class Byte>
inline int four_bytes(const Byte* p) noexcept {
  int word;
  __builtin_memcpy(&word, p, sizeof word);
  return word;
}

struct Sse2 {
  using Vector = __m128;
  static constexpr int kLanes = 4;
  static constexpr bool kPrefetch = true;

  static Vector load(const float* p) noexcept { return _mm_loadu_ps(p); }
  // No half-precision conversion before F16C: one value at a time.
  static Vector load(const Half* p) noexcept { return load_halves_one_by_one<Sse2>(p); }
  // Each 16-bit value becomes the high half of its 32-bit lane.
  static Vector load(const BrainHalf* p) noexcept {
    const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    return _mm_castsi128_ps(_mm_unpacklo_epi16(_mm_setzero_si128(), v));
  }
  // Each byte into the top byte of its lane, then shifted down with its sign.
  static Vector load(const std::int8_t* p) noexcept {
    const __m128i v = _mm_cvtsi32_si128(four_bytes(p));
    const __m128i spread = _mm_unpacklo_epi16(_mm_unpacklo_epi8(v, v), _mm_unpacklo_epi8(v, v));
    return _mm_cvtepi32_ps(_mm_srai_epi32(spread, 24));
  }
  static Vector load(const std::uint8_t* p) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i v = _mm_cvtsi32_si128(four_bytes(p));
    return _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(v, zero), zero));
  }
  template <class E>
  static Vector load_first(const E* p, std::uint64_t count) noexcept {
    return load_first_through_copy<Sse2>(p, count);
  }
  static void transpose(Vector (&x)[kLanes]) noexcept { _MM_TRANSPOSE4_PS(x[0], x[1], x[2], x[3]); }
  static Vector broadcast(float f) noexcept { return _mm_set1_ps(f); }
  static Vector add(Vector a, Vector b) noexcept { return _mm_add_ps(a, b); }
  static Vector mul(Vector a, Vector b) noexcept { return _mm_mul_ps(a, b); }
  static Vector sqrt(Vector a) noexcept { return _mm_sqrt_ps(a); }
  static Vector div(Vector a, Vector b) noexcept { return _mm_div_ps(a, b); }
  static Vector zero_unless_positive(Vector squares, Vector value) noexcept {
    return _mm_and_ps(_mm_cmpgt_ps(squares, _mm_setzero_ps()), value);
  }
  static void store(float* out, Vector v) noexcept { _mm_storeu_ps(out, v); }
};

}  // namespace
}  // namespace velk
#endif

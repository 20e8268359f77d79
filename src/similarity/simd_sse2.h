// The traits of SSE2, four floats per 128-bit register, the baseline of every x86-64 processor (simd_traits.h).
#pragma once

#include <cstdint>

#include "similarity/simd_traits.h"

#if defined(__x86_64__)
#include <emmintrin.h>

namespace velk {
namespace {

struct Sse2 {
  using Vector = __m128;
  static constexpr int kLanes = 4;
  static constexpr bool kPrefetch = true;

  static Vector load(const float* p) noexcept { return _mm_loadu_ps(p); }
  static Vector load_first(const float* p, std::uint64_t count) noexcept {
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

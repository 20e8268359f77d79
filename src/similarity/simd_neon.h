// The traits of NEON, four floats per 128-bit register, the baseline of every 64-bit ARM processor (simd_traits.h).
#pragma once

#include <cstdint>

#include "similarity/simd_traits.h"

#if defined(__aarch64__)
#include <arm_neon.h>

namespace velk {
namespace {

template <class Byte>
inline std::uint32_t four_bytes(const Byte* p) noexcept {
  std::uint32_t word;
  __builtin_memcpy(&word, p, sizeof word);
  return word;
}

struct Neon {
  using Vector = float32x4_t;
  static constexpr int kLanes = 4;
  static constexpr bool kPrefetch = true;

  static Vector load(const float* p) noexcept { return vld1q_f32(p); }
  static Vector load(const Half* p) noexcept {
    return vcvt_f32_f16(vreinterpret_f16_u16(vld1_u16(reinterpret_cast<const std::uint16_t*>(p))));
  }
  // Each 16-bit value shifted into the high half of its 32-bit lane.
  static Vector load(const BrainHalf* p) noexcept {
    return vreinterpretq_f32_u32(vshll_n_u16(vld1_u16(reinterpret_cast<const std::uint16_t*>(p)), 16));
  }
  static Vector load(const std::int8_t* p) noexcept {
    const int8x8_t v = vreinterpret_s8_u32(vdup_n_u32(four_bytes(p)));
    return vcvtq_f32_s32(vmovl_s16(vget_low_s16(vmovl_s8(v))));
  }
  static Vector load(const std::uint8_t* p) noexcept {
    const uint8x8_t v = vreinterpret_u8_u32(vdup_n_u32(four_bytes(p)));
    return vcvtq_f32_u32(vmovl_u16(vget_low_u16(vmovl_u8(v))));
  }
  template <class E>
  static Vector load_first(const E* p, std::uint64_t count) noexcept {
    return load_first_through_copy<Neon>(p, count);
  }
  static void transpose(Vector (&x)[kLanes]) noexcept {
    // Pairs of rows interleaved element by element, then pairs of those
    // interleaved two elements at a time.
    const Vector t0 = vtrn1q_f32(x[0], x[1]);
    const Vector t1 = vtrn2q_f32(x[0], x[1]);
    const Vector t2 = vtrn1q_f32(x[2], x[3]);
    const Vector t3 = vtrn2q_f32(x[2], x[3]);
    x[0] = vreinterpretq_f32_f64(vtrn1q_f64(vreinterpretq_f64_f32(t0), vreinterpretq_f64_f32(t2)));
    x[1] = vreinterpretq_f32_f64(vtrn1q_f64(vreinterpretq_f64_f32(t1), vreinterpretq_f64_f32(t3)));
    x[2] = vreinterpretq_f32_f64(vtrn2q_f64(vreinterpretq_f64_f32(t0), vreinterpretq_f64_f32(t2)));
    x[3] = vreinterpretq_f32_f64(vtrn2q_f64(vreinterpretq_f64_f32(t1), vreinterpretq_f64_f32(t3)));
  }
  static Vector broadcast(float f) noexcept { return vdupq_n_f32(f); }
  static Vector add(Vector a, Vector b) noexcept { return vaddq_f32(a, b); }
  // A separate multiply, so the product is rounded before it is added: never
  // vfmaq_f32, nor vmlaq_f32, which some compilers turn into a fused one. GCC
  // writes these intrinsics as plain vector arithmetic, so -ffp-contract=off is
  // what keeps it from fusing the pair again.
  static Vector mul(Vector a, Vector b) noexcept { return vmulq_f32(a, b); }
  static Vector sqrt(Vector a) noexcept { return vsqrtq_f32(a); }
  static Vector div(Vector a, Vector b) noexcept { return vdivq_f32(a, b); }
  static Vector zero_unless_positive(Vector squares, Vector value) noexcept {
    const uint32x4_t positive = vcgtq_f32(squares, vdupq_n_f32(0.0f));
    return vreinterpretq_f32_u32(vandq_u32(positive, vreinterpretq_u32_f32(value)));
  }
  static void store(float* out, Vector v) noexcept { vst1q_f32(out, v); }
};

}  // namespace
}  // namespace velk
#endif

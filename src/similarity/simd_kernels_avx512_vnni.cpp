// The int8 and uint8 row scorers on AVX-512F with VNNI: the AVX-512 kernels,
// whose sums of squares over wide blocks are taken with the integer dot
// product (vpdpbusd) instead of a float multiply and add per value. Compiled
// for AVX-512F, AVX512BW and AVX512-VNNI (CMakeLists.txt); simd_kernels()
// hands it out only where the processor has all three.
#include "similarity/row_kernel_template.h"
#include "similarity/simd_avx512.h"

#if defined(__x86_64__)
#if !defined(__AVX512VNNI__) || !defined(__AVX512BW__)
#error "simd_kernels_avx512_vnni.cpp must be compiled with -mavx512bw -mavx512vnni"
#endif

namespace velk {
namespace {

// The squares of integers are exact, and so is every float sum of them below
// 2^24: while a row's sum of squares stays below 2^24, the float chain of the
// scalar loop computes exactly the integer sum, and the converted integer sum
// is the same float. The row kernel sums them so up to the last block that
// keeps every row of a group within that bound, then in floats.
struct Avx512Vnni : Avx512 {
  // Two 32-bit sums per row: for int8 sum((x + 128) * x) and sum(x), for uint8
  // sum(x * (x - 128)) and sum(x); vpdpbusd multiplies unsigned bytes by signed
  // ones, and x * x itself fits neither pairing for every byte.
  using Integers = __m512i;
  static Integers integer_zero() noexcept { return _mm512_setzero_si512(); }

  static void add_unit_squares(const std::int8_t*, Vector packed, Integers (&sums)[2]) noexcept {
    const __m512i units = _mm512_castps_si512(packed);
    const __m512i biased = _mm512_xor_si512(units, _mm512_set1_epi32(static_cast<int>(0x80808080u)));
    sums[0] = _mm512_dpbusd_epi32(sums[0], biased, units);
    sums[1] = _mm512_dpbusd_epi32(sums[1], _mm512_set1_epi32(0x01010101), units);
  }
  static Vector squares_of(const std::int8_t*, const Integers (&sums)[2]) noexcept {
    return _mm512_cvtepi32_ps(_mm512_sub_epi32(sums[0], _mm512_slli_epi32(sums[1], 7)));
  }
  static void add_unit_squares(const std::uint8_t*, Vector packed, Integers (&sums)[2]) noexcept {
    const __m512i units = _mm512_castps_si512(packed);
    const __m512i centred = _mm512_xor_si512(units, _mm512_set1_epi32(static_cast<int>(0x80808080u)));
    sums[0] = _mm512_dpbusd_epi32(sums[0], units, centred);
    sums[1] = _mm512_dpbusd_epi32(sums[1], units, _mm512_set1_epi32(0x01010101));
  }
  static Vector squares_of(const std::uint8_t*, const Integers (&sums)[2]) noexcept {
    return _mm512_cvtepi32_ps(_mm512_add_epi32(sums[0], _mm512_slli_epi32(sums[1], 7)));
  }
  // Each value of a unit times 2^24, for the query times 2^-24: one byte
  // shuffle (the value's byte to the top of its unit, zeros below) and one
  // conversion a value, where widening it unscaled takes two shifts.
  static void widen_units_scaled(const std::int8_t*, Vector packed, Vector (&out)[4]) noexcept {
    const __m512i units = _mm512_castps_si512(packed);
    for (int s = 0; s < 4; ++s) out[s] = _mm512_cvtepi32_ps(_mm512_shuffle_epi8(units, to_top(s)));
  }
  static void widen_units_scaled(const std::uint8_t*, Vector packed, Vector (&out)[4]) noexcept {
    const __m512i units = _mm512_castps_si512(packed);
    for (int s = 0; s < 4; ++s) out[s] = _mm512_cvtepu32_ps(_mm512_shuffle_epi8(units, to_top(s)));
  }
  // Shuffle indices that put byte s of every unit on top of three zero bytes
  // (an index with its top bit set gives zero).
  static __m512i to_top(int s) noexcept {
    constexpr char kZero = -128;
    const auto b = static_cast<char>(s);
    return _mm512_broadcast_i32x4(_mm_setr_epi8(kZero, kZero, kZero, b, kZero, kZero, kZero, static_cast<char>(4 + b),
                                                kZero, kZero, kZero, static_cast<char>(8 + b), kZero, kZero, kZero,
                                                static_cast<char>(12 + b)));
  }
  static bool any_at_least(Vector v, float bound) noexcept {
    return _mm512_cmp_ps_mask(v, _mm512_set1_ps(bound), _CMP_GE_OQ) != 0;
  }
};

}  // namespace

SimdKernels simd_kernels_avx512_vnni(SimdKernels avx512) noexcept {
  avx512.score_rows[static_cast<int>(Storage::int8)] = score_lane_groups<Avx512Vnni, std::int8_t>;
  avx512.score_rows[static_cast<int>(Storage::uint8)] = score_lane_groups<Avx512Vnni, std::uint8_t>;
  return avx512;
}

}  // namespace velk
#endif

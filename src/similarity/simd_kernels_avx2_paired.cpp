// The bfloat16, int8 and uint8 row scorers on AVX2: two lane groups of eight
// rows scored side by side (row_kernel_template.h, has_paired_groups). With
// values this narrow a single group waits on its one add chain per row; two
// groups keep two chains in flight on the same instructions. Their blocks are
// half as wide as the single group's, so that both groups' transposed units
// fit the sixteen registers.
//
// Compiled for AVX2 and F16C as the other AVX2 kernels (CMakeLists.txt), and
// with GCC's -fno-tree-ter: without it, GCC widens every value of both blocks
// before the first product and spills them, and the pairs run slower than one
// group. simd_kernels() hands these out with the AVX2 table.
#include "similarity/row_kernel_template.h"
#include "similarity/simd_avx2.h"

#if defined(__x86_64__)
namespace velk {
namespace {

struct Avx2Paired : Avx2 {
  // Paired blocks: eight rows of 16 bytes, half a wide block.
  static constexpr std::uint64_t paired_columns(const std::int8_t*) noexcept { return 16; }
  static constexpr std::uint64_t paired_columns(const std::uint8_t*) noexcept { return 16; }
  static constexpr std::uint64_t paired_columns(const BrainHalf*) noexcept { return 8; }

  // x[j] holds unit j of the eight rows. Register i first holds rows i and
  // i + 4, one per 128-bit half; a 4 x 4 transpose within each half finishes
  // it, three shuffles a unit as for a wide block.
  template <class E>
  static void load_paired(const E* const (&rows)[kLanes], std::uint64_t column, const E* const (&next)[kLanes],
                          Vector (&x)[4]) noexcept {
    __m256i t[4];
    const bool prefetch = starts_line<E>(column, paired_columns(rows[0]));
    for (int i = 0; i < 4; ++i) {
      if (prefetch) {
        __builtin_prefetch(next[i] + column, 0, 2);
        __builtin_prefetch(next[i + 4] + column, 0, 2);
      }
      const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[i] + column));
      const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[i + 4] + column));
      t[i] = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
    }
    const __m256i a = _mm256_unpacklo_epi32(t[0], t[1]);
    const __m256i b = _mm256_unpackhi_epi32(t[0], t[1]);
    const __m256i c = _mm256_unpacklo_epi32(t[2], t[3]);
    const __m256i d = _mm256_unpackhi_epi32(t[2], t[3]);
    x[0] = _mm256_castsi256_ps(_mm256_unpacklo_epi64(a, c));
    x[1] = _mm256_castsi256_ps(_mm256_unpackhi_epi64(a, c));
    x[2] = _mm256_castsi256_ps(_mm256_unpacklo_epi64(b, d));
    x[3] = _mm256_castsi256_ps(_mm256_unpackhi_epi64(b, d));
  }

  // The squares of 8-bit values summed as integers, one 32-bit sum per row:
  // the even and the odd bytes of each unit as 16-bit values, each pair's
  // squares added by one multiply-add. An int8 value is squared through its
  // magnitude, which fits an unsigned byte (128 included).
  using Integers = __m256i;
  static Integers integer_zero() noexcept { return _mm256_setzero_si256(); }
  static void paired_unit_squares(const std::uint8_t*, Vector packed, Integers& sums) noexcept {
    add_byte_squares(_mm256_castps_si256(packed), sums);
  }
  static void paired_unit_squares(const std::int8_t*, Vector packed, Integers& sums) noexcept {
    add_byte_squares(_mm256_abs_epi8(_mm256_castps_si256(packed)), sums);
  }
  static void add_byte_squares(__m256i bytes, Integers& sums) noexcept {
    const __m256i even = _mm256_and_si256(bytes, _mm256_set1_epi16(0x00FF));
    const __m256i odd = _mm256_srli_epi16(bytes, 8);
    sums = _mm256_add_epi32(sums, _mm256_add_epi32(_mm256_madd_epi16(even, even), _mm256_madd_epi16(odd, odd)));
  }
  template <class E>
  static Vector paired_squares_of(const E*, Integers sums) noexcept {
    return _mm256_cvtepi32_ps(sums);
  }
  static bool any_at_least(Vector v, float bound) noexcept {
    return _mm256_movemask_ps(_mm256_cmp_ps(v, _mm256_set1_ps(bound), _CMP_GE_OQ)) != 0;
  }

  // Each int8 value of a unit times 2^24, for the query times 2^-24: one byte
  // shuffle (the value's byte to the top of its unit, zeros below) and one
  // conversion a value, where widening it unscaled takes two shifts, on the
  // same ports as the transposes.
  static void widen_units_scaled(const std::int8_t*, Vector packed, Vector (&out)[4]) noexcept {
    const __m256i units = _mm256_castps_si256(packed);
    for (int s = 0; s < 4; ++s) out[s] = _mm256_cvtepi32_ps(_mm256_shuffle_epi8(units, to_top(s)));
  }
  // Shuffle indices that put byte s of every unit on top of three zero bytes
  // (an index with its top bit set gives zero).
  static __m256i to_top(int s) noexcept {
    constexpr char kZero = -128;
    const auto b = static_cast<char>(s);
    return _mm256_broadcastsi128_si256(
        _mm_setr_epi8(kZero, kZero, kZero, b, kZero, kZero, kZero, static_cast<char>(4 + b), kZero, kZero, kZero,
                      static_cast<char>(8 + b), kZero, kZero, kZero, static_cast<char>(12 + b)));
  }
};

}  // namespace

SimdKernels simd_kernels_avx2_paired(SimdKernels avx2) noexcept {
  avx2.score_rows[static_cast<int>(Storage::bfloat16)] = score_lane_groups<Avx2Paired, BrainHalf>;
  avx2.score_rows[static_cast<int>(Storage::int8)] = score_lane_groups<Avx2Paired, std::int8_t>;
  avx2.score_rows[static_cast<int>(Storage::uint8)] = score_lane_groups<Avx2Paired, std::uint8_t>;
  return avx2;
}

}  // namespace velk
#endif

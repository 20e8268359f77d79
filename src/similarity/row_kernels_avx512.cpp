// Sixteen rows side by side in the lanes of a 512-bit register. A block of 16
// columns of the 16 rows is loaded row by row and transposed in registers, so
// that register j holds column j of every row; each lane then adds that column's
// products to its own row's sums, in element order.
#include "similarity/row_kernels.h"

#if defined(__x86_64__)
#include <immintrin.h>

// GCC 12's AVX-512 intrinsics start from a deliberately undefined register,
// which its own flow analysis then reports.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#define VELK_AVX512 __attribute__((target("avx512f")))

namespace velk {
namespace {

constexpr int kLanes = 16;
// Sixteen rows are sixteen short streams, too short for the hardware
// prefetcher to ramp up on each; asking for each row's data a few blocks ahead
// keeps enough reads in flight when the rows come from memory.
constexpr std::uintptr_t kPrefetchBytes = 512;

struct Sums {
  __m512 dot;
  __m512 squares;
};

// x[r] holds 16 consecutive elements of row r on entry and the 16 rows' values
// of column j in x[j] on exit.
VELK_AVX512 inline void transpose(__m512 (&x)[kLanes]) noexcept {
  __m512 t[kLanes];
  for (int r = 0; r < kLanes; r += 2) {
    t[r] = _mm512_unpacklo_ps(x[r], x[r + 1]);
    t[r + 1] = _mm512_unpackhi_ps(x[r], x[r + 1]);
  }
  // Within each 128-bit lane k, u[4g + m] now holds column 4k + m of rows
  // 4g .. 4g + 3.
  __m512 u[kLanes];
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
    const __m512 v0 = _mm512_shuffle_f32x4(u[m], u[4 + m], 0x44);
    const __m512 v1 = _mm512_shuffle_f32x4(u[m], u[4 + m], 0xEE);
    const __m512 v2 = _mm512_shuffle_f32x4(u[8 + m], u[12 + m], 0x44);
    const __m512 v3 = _mm512_shuffle_f32x4(u[8 + m], u[12 + m], 0xEE);
    x[m] = _mm512_shuffle_f32x4(v0, v2, 0x88);
    x[4 + m] = _mm512_shuffle_f32x4(v0, v2, 0xDD);
    x[8 + m] = _mm512_shuffle_f32x4(v1, v3, 0x88);
    x[12 + m] = _mm512_shuffle_f32x4(v1, v3, 0xDD);
  }
}

VELK_AVX512 inline void load_columns(const float* const (&rows)[kLanes], std::uint64_t column,
                                     __m512 (&x)[kLanes]) noexcept {
  for (int r = 0; r < kLanes; ++r) {
    // An address past the row is harmless: a prefetch never faults.
    const std::uintptr_t ahead = reinterpret_cast<std::uintptr_t>(rows[r] + column) + kPrefetchBytes;
    _mm_prefetch(reinterpret_cast<const char*>(ahead), _MM_HINT_T0);
    x[r] = _mm512_loadu_ps(rows[r] + column);
  }
  transpose(x);
}

// The last, partial block: lanes past the row's end are never read.
VELK_AVX512 inline void load_columns_masked(const float* const (&rows)[kLanes], std::uint64_t column,
                                            __mmask16 mask, __m512 (&x)[kLanes]) noexcept {
  for (int r = 0; r < kLanes; ++r) x[r] = _mm512_maskz_loadu_ps(mask, rows[r] + column);
  transpose(x);
}

VELK_AVX512 inline void add_products(Sums& sums, __m512 x, __m512 q) noexcept {
  sums.dot = _mm512_add_ps(sums.dot, _mm512_mul_ps(x, q));
  sums.squares = _mm512_add_ps(sums.squares, _mm512_mul_ps(x, x));
}

VELK_AVX512 inline void add_squares(Sums& sums, __m512 x) noexcept {
  sums.squares = _mm512_add_ps(sums.squares, _mm512_mul_ps(x, x));
}

VELK_AVX512 Sums row_sums(const float* const (&rows)[kLanes], const float* query, std::uint64_t dim,
                          std::uint64_t dot_length) noexcept {
  Sums sums{_mm512_set1_ps(-0.0f), _mm512_set1_ps(-0.0f)};
  __m512 x[kLanes];
  std::uint64_t c = 0;
  for (; c + kLanes <= dot_length; c += kLanes) {
    load_columns(rows, c, x);
    for (int j = 0; j < kLanes; ++j) add_products(sums, x[j], _mm512_set1_ps(query[c + j]));
  }
  // The block where the query ends, if it ends inside the rows.
  if (c < dot_length) {
    const std::uint64_t width = dim - c < kLanes ? dim - c : kLanes;
    load_columns_masked(rows, c, static_cast<__mmask16>((1u << width) - 1u), x);
    const std::uint64_t with_query = dot_length - c;
    for (std::uint64_t j = 0; j < width; ++j) {
      if (j < with_query) {
        add_products(sums, x[j], _mm512_set1_ps(query[c + j]));
      } else {
        add_squares(sums, x[j]);
      }
    }
    c += width;
  }
  // Columns beyond the query count only in the row's norm.
  for (; c + kLanes <= dim; c += kLanes) {
    load_columns(rows, c, x);
    for (int j = 0; j < kLanes; ++j) add_squares(sums, x[j]);
  }
  if (c < dim) {
    const std::uint64_t width = dim - c;
    load_columns_masked(rows, c, static_cast<__mmask16>((1u << width) - 1u), x);
    for (std::uint64_t j = 0; j < width; ++j) add_squares(sums, x[j]);
  }
  return sums;
}

}  // namespace

VELK_AVX512 void score_rows_avx512(const RowBatch& batch) noexcept {
  const __m512 query_norm = _mm512_set1_ps(batch.query_norm);
  for (std::uint64_t first = 0; first < batch.rows; first += kLanes) {
    const std::uint64_t count = batch.rows - first < kLanes ? batch.rows - first : kLanes;
    const float* rows[kLanes];
    group_rows(batch, first, count, rows);
    const Sums sums = row_sums(rows, batch.query, batch.dim, batch.dot_length);
    // score = dot / (sqrt(squares) * query_norm) where squares > 0, else +0.0.
    const __mmask16 positive = _mm512_cmp_ps_mask(sums.squares, _mm512_setzero_ps(), _CMP_GT_OQ);
    const __m512 denominator = _mm512_mul_ps(_mm512_sqrt_ps(sums.squares), query_norm);
    const __m512 scores = _mm512_maskz_div_ps(positive, sums.dot, denominator);
    float lanes[kLanes];
    _mm512_storeu_ps(lanes, scores);
    store_group(batch, first, count, lanes);
  }
}

}  // namespace velk
#endif

// Eight rows side by side in the lanes of a 256-bit register: blocks of 8
// columns of 8 rows are transposed in registers, and each lane adds its own
// row's products in element order.
#include "similarity/row_kernels.h"

#if defined(__x86_64__)
#include <immintrin.h>

#define VELK_AVX2 __attribute__((target("avx2")))

namespace velk {
namespace {

constexpr int kLanes = 8;

struct Sums {
  __m256 dot;
  __m256 squares;
};

// x[r] holds 8 consecutive elements of row r on entry and column j of the 8
// rows in x[j] on exit.
VELK_AVX2 inline void transpose(__m256 (&x)[kLanes]) noexcept {
  __m256 t[kLanes];
  for (int r = 0; r < kLanes; r += 2) {
    t[r] = _mm256_unpacklo_ps(x[r], x[r + 1]);
    t[r + 1] = _mm256_unpackhi_ps(x[r], x[r + 1]);
  }
  // Within each 128-bit half k, u[4g + m] holds column 4k + m of rows 4g .. 4g + 3.
  __m256 u[kLanes];
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

VELK_AVX2 inline void load_columns(const float* const (&rows)[kLanes], std::uint64_t column,
                                   __m256 (&x)[kLanes]) noexcept {
  for (int r = 0; r < kLanes; ++r) x[r] = _mm256_loadu_ps(rows[r] + column);
  transpose(x);
}

// The last, partial block: lanes past the row's end are never read.
VELK_AVX2 inline void load_columns_masked(const float* const (&rows)[kLanes], std::uint64_t column,
                                          std::uint64_t width, __m256 (&x)[kLanes]) noexcept {
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(width)), lane);
  for (int r = 0; r < kLanes; ++r) x[r] = _mm256_maskload_ps(rows[r] + column, mask);
  transpose(x);
}

VELK_AVX2 inline void add_products(Sums& sums, __m256 x, __m256 q) noexcept {
  sums.dot = _mm256_add_ps(sums.dot, _mm256_mul_ps(x, q));
  sums.squares = _mm256_add_ps(sums.squares, _mm256_mul_ps(x, x));
}

VELK_AVX2 inline void add_squares(Sums& sums, __m256 x) noexcept {
  sums.squares = _mm256_add_ps(sums.squares, _mm256_mul_ps(x, x));
}

VELK_AVX2 Sums row_sums(const float* const (&rows)[kLanes], const float* query, std::uint64_t dim,
                        std::uint64_t dot_length) noexcept {
  Sums sums{_mm256_set1_ps(-0.0f), _mm256_set1_ps(-0.0f)};
  __m256 x[kLanes];
  std::uint64_t c = 0;
  for (; c + kLanes <= dot_length; c += kLanes) {
    load_columns(rows, c, x);
    for (int j = 0; j < kLanes; ++j) add_products(sums, x[j], _mm256_set1_ps(query[c + j]));
  }
  // The block where the query ends, if it ends inside the rows.
  if (c < dot_length) {
    const std::uint64_t width = dim - c < kLanes ? dim - c : kLanes;
    load_columns_masked(rows, c, width, x);
    const std::uint64_t with_query = dot_length - c;
    for (std::uint64_t j = 0; j < width; ++j) {
      if (j < with_query) {
        add_products(sums, x[j], _mm256_set1_ps(query[c + j]));
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
    load_columns_masked(rows, c, width, x);
    for (std::uint64_t j = 0; j < width; ++j) add_squares(sums, x[j]);
  }
  return sums;
}

}  // namespace

VELK_AVX2 void score_rows_avx2(const RowBatch& batch) noexcept {
  const __m256 query_norm = _mm256_set1_ps(batch.query_norm);
  for (std::uint64_t first = 0; first < batch.rows; first += kLanes) {
    const std::uint64_t count = batch.rows - first < kLanes ? batch.rows - first : kLanes;
    const float* rows[kLanes];
    group_rows(batch, first, count, rows);
    const Sums sums = row_sums(rows, batch.query, batch.dim, batch.dot_length);
    // score = dot / (sqrt(squares) * query_norm) where squares > 0, else +0.0.
    const __m256 positive = _mm256_cmp_ps(sums.squares, _mm256_setzero_ps(), _CMP_GT_OQ);
    const __m256 denominator = _mm256_mul_ps(_mm256_sqrt_ps(sums.squares), query_norm);
    const __m256 scores = _mm256_and_ps(positive, _mm256_div_ps(sums.dot, denominator));
    float lanes[kLanes];
    _mm256_storeu_ps(lanes, scores);
    store_group(batch, first, count, lanes);
  }
}

}  // namespace velk
#endif

// Four rows side by side in the lanes of a 128-bit register, the baseline of
// every x86-64 processor: blocks of 4 columns of 4 rows are transposed in
// registers, and each lane adds its own row's products in element order.
#include "similarity/row_kernels.h"

#if defined(__x86_64__)
#include <emmintrin.h>

namespace velk {
namespace {

constexpr int kLanes = 4;

struct Sums {
  __m128 dot;
  __m128 squares;
};

inline void load_columns(const float* const (&rows)[kLanes], std::uint64_t column, __m128 (&x)[kLanes]) noexcept {
  for (int r = 0; r < kLanes; ++r) x[r] = _mm_loadu_ps(rows[r] + column);
  _MM_TRANSPOSE4_PS(x[0], x[1], x[2], x[3]);
}

// Column `column` of the four rows, for the columns past the last full block.
inline __m128 gather_column(const float* const (&rows)[kLanes], std::uint64_t column) noexcept {
  return _mm_setr_ps(rows[0][column], rows[1][column], rows[2][column], rows[3][column]);
}

inline void add_products(Sums& sums, __m128 x, __m128 q) noexcept {
  sums.dot = _mm_add_ps(sums.dot, _mm_mul_ps(x, q));
  sums.squares = _mm_add_ps(sums.squares, _mm_mul_ps(x, x));
}

inline void add_squares(Sums& sums, __m128 x) noexcept {
  sums.squares = _mm_add_ps(sums.squares, _mm_mul_ps(x, x));
}

Sums row_sums(const float* const (&rows)[kLanes], const float* query, std::uint64_t dim,
              std::uint64_t dot_length) noexcept {
  Sums sums{_mm_set1_ps(-0.0f), _mm_set1_ps(-0.0f)};
  __m128 x[kLanes];
  std::uint64_t c = 0;
  for (; c + kLanes <= dot_length; c += kLanes) {
    load_columns(rows, c, x);
    for (int j = 0; j < kLanes; ++j) add_products(sums, x[j], _mm_set1_ps(query[c + j]));
  }
  for (; c < dot_length; ++c) add_products(sums, gather_column(rows, c), _mm_set1_ps(query[c]));
  // Columns beyond the query count only in the row's norm.
  for (; c + kLanes <= dim; c += kLanes) {
    load_columns(rows, c, x);
    for (int j = 0; j < kLanes; ++j) add_squares(sums, x[j]);
  }
  for (; c < dim; ++c) add_squares(sums, gather_column(rows, c));
  return sums;
}

}  // namespace

void score_rows_sse2(const RowBatch& batch) noexcept {
  const __m128 query_norm = _mm_set1_ps(batch.query_norm);
  for (std::uint64_t first = 0; first < batch.rows; first += kLanes) {
    const std::uint64_t count = batch.rows - first < kLanes ? batch.rows - first : kLanes;
    const float* rows[kLanes];
    group_rows(batch, first, count, rows);
    const Sums sums = row_sums(rows, batch.query, batch.dim, batch.dot_length);
    // score = dot / (sqrt(squares) * query_norm) where squares > 0, else +0.0.
    const __m128 positive = _mm_cmpgt_ps(sums.squares, _mm_setzero_ps());
    const __m128 denominator = _mm_mul_ps(_mm_sqrt_ps(sums.squares), query_norm);
    const __m128 scores = _mm_and_ps(positive, _mm_div_ps(sums.dot, denominator));
    float lanes[kLanes];
    _mm_storeu_ps(lanes, scores);
    store_group(batch, first, count, lanes);
  }
}

}  // namespace velk
#endif

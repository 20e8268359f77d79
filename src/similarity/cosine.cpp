#include "similarity/cosine.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace velk {
namespace {

constexpr std::uint32_t kQuietBit = 0x00400000u;
constexpr float kPositiveQuietNaN = std::bit_cast<float>(0x7FC00000u);

float quieted(float x) noexcept { return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) | kQuietBit); }

// The NaN an operation must produce when its hardware result is NaN. Hardware
// already propagates a single NaN operand, but which of two NaN operands wins,
// and the sign of the NaN of an invalid operation, differ between processors
// and instruction forms; this pins both down.
float nan_result(float left, float right) noexcept {
  if (is_nan(left)) return quieted(left);
  if (is_nan(right)) return quieted(right);
  return kPositiveQuietNaN;
}

float mul(float a, float b) noexcept {
  const float r = a * b;
  return is_nan(r) ? nan_result(a, b) : r;
}

float add(float a, float b) noexcept {
  const float r = a + b;
  return is_nan(r) ? nan_result(a, b) : r;
}

float div(float a, float b) noexcept {
  const float r = a / b;
  return is_nan(r) ? nan_result(a, b) : r;
}

float root(float x) noexcept {
  // Squared norms are never negative, so the only NaN here is a propagated one.
  return is_nan(x) ? quieted(x) : std::sqrt(x);
}

// The plain loops below are the hot path; they give exactly the careful result
// whenever it is not NaN, because a NaN, once in an accumulator, stays there.
// Only a NaN result is recomputed with the careful operations.
// The second operand of a dot product and the vector of a squared norm may be
// stored in a compact form; each value is widened exactly before it is used.
template <class E>
float plain_dot(const float* a, const E* b, std::size_t n) noexcept {
  float acc = -0.0f;
  for (std::size_t i = 0; i < n; ++i) acc = acc + a[i] * widen(b[i]);
  return acc;
}

template <class E>
float careful_dot(const float* a, const E* b, std::size_t n) noexcept {
  float acc = -0.0f;
  for (std::size_t i = 0; i < n; ++i) acc = add(acc, mul(a[i], widen(b[i])));
  return acc;
}

template <class E>
float plain_squares(const E* v, std::size_t n) noexcept {
  float acc = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float x = widen(v[i]);
    acc = acc + x * x;
  }
  return acc;
}

template <class E>
float careful_squares(const E* v, std::size_t n) noexcept {
  float acc = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float x = widen(v[i]);
    acc = add(acc, mul(x, x));
  }
  return acc;
}

template <class E>
float typed_row_score(const E* row, std::size_t dim, std::span<const float> query, float query_norm) noexcept {
  float nr = plain_squares(row, dim);
  if (is_nan(nr)) nr = careful_squares(row, dim);
  if (!(nr > 0.0f)) return 0.0f;
  const std::size_t n = std::min<std::size_t>(dim, query.size());
  float d = plain_dot(query.data(), row, n);
  if (is_nan(d)) d = careful_dot(query.data(), row, n);
  return div(d, mul(root(nr), query_norm));
}

}  // namespace

float dot_product(std::span<const float> a, std::span<const float> b) noexcept {
  const std::size_t n = std::min(a.size(), b.size());
  const float fast = plain_dot(a.data(), b.data(), n);
  return is_nan(fast) ? careful_dot(a.data(), b.data(), n) : fast;
}

float squared_norm(std::span<const float> v) noexcept {
  const float fast = plain_squares(v.data(), v.size());
  return is_nan(fast) ? careful_squares(v.data(), v.size()) : fast;
}

float norm_from_squared(float squared) noexcept { return root(squared); }

float cosine_similarity(std::span<const float> a, std::span<const float> b) noexcept {
  const std::size_t common = std::min(a.size(), b.size());
  // The three sums in one pass: each is still its own element-order chain, but
  // the three chains advance side by side instead of one after another.
  float d = -0.0f;
  float na = -0.0f;
  float nb = -0.0f;
  for (std::size_t i = 0; i < common; ++i) {
    d = d + a[i] * b[i];
    na = na + a[i] * a[i];
    nb = nb + b[i] * b[i];
  }
  for (std::size_t i = common; i < a.size(); ++i) na = na + a[i] * a[i];
  for (std::size_t i = common; i < b.size(); ++i) nb = nb + b[i] * b[i];
  if (is_nan(d)) d = careful_dot(a.data(), b.data(), common);
  if (is_nan(na)) na = careful_squares(a.data(), a.size());
  if (is_nan(nb)) nb = careful_squares(b.data(), b.size());
  if (na == 0.0f || nb == 0.0f) return 0.0f;
  // Two roots multiplied, not the root of the product: na * nb overflows sooner
  // and rounds differently.
  return div(d, mul(root(na), root(nb)));
}

float row_score(std::span<const float> row, std::span<const float> query, float query_norm) noexcept {
  return typed_row_score(row.data(), row.size(), query, query_norm);
}

float row_score(Storage storage, const void* row, std::uint64_t dim, std::span<const float> query,
                float query_norm) noexcept {
  return with_element(storage, [&]<class E> {
    return typed_row_score(static_cast<const E*>(row), static_cast<std::size_t>(dim), query, query_norm);
  });
}

}  // namespace velk

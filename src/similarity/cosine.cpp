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
float plain_dot(const float* a, const float* b, std::size_t n) noexcept {
  float acc = -0.0f;
  for (std::size_t i = 0; i < n; ++i) acc = acc + a[i] * b[i];
  return acc;
}

float careful_dot(const float* a, const float* b, std::size_t n) noexcept {
  float acc = -0.0f;
  for (std::size_t i = 0; i < n; ++i) acc = add(acc, mul(a[i], b[i]));
  return acc;
}

float plain_squares(const float* v, std::size_t n) noexcept {
  float acc = -0.0f;
  for (std::size_t i = 0; i < n; ++i) acc = acc + v[i] * v[i];
  return acc;
}

float careful_squares(const float* v, std::size_t n) noexcept {
  float acc = -0.0f;
  for (std::size_t i = 0; i < n; ++i) acc = add(acc, mul(v[i], v[i]));
  return acc;
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
  const float nr = squared_norm(row);
  if (!(nr > 0.0f)) return 0.0f;
  const float d = dot_product(query, row);
  return div(d, mul(root(nr), query_norm));
}

}  // namespace velk

// The scalar reference cosine. Every score is a contract, bit for bit:
//  - single precision only, each product rounded before it is added (no fused
//    multiply-add), sums accumulated one element at a time in element order,
//    starting from -0.0;
//  - an invalid operation on non-NaN operands (inf - inf, 0 * inf, inf / inf,
//    0 / 0) yields the positive quiet NaN 0x7FC00000 on every processor, although
//    x86 hardware produces a negative one;
//  - an operation with one NaN operand yields that NaN, quieted; with two NaN
//    operands, the left one (the accumulator, the first factor, the dividend).
#pragma once

#include <cstdint>
#include <span>

#include "similarity/storage.h"

namespace velk {

// True for a NaN of any sign or payload, and for nothing else.
inline bool is_nan(float x) noexcept { return x != x; }

float dot_product(std::span<const float> a, std::span<const float> b) noexcept;
float squared_norm(std::span<const float> v) noexcept;

// Full form: dot / (sqrt(|a|^2) * sqrt(|b|^2)), or +0.0 when either squared norm
// equals zero.
float cosine_similarity(std::span<const float> a, std::span<const float> b) noexcept;

// Row form for the flat layout: query_norm is computed once per call by the
// caller; a row whose squared norm is not greater than zero (zero or NaN)
// scores +0.0. The dot product covers min(row, query) elements.
float row_score(std::span<const float> row, std::span<const float> query, float query_norm) noexcept;

// The same over a stored row of `dim` values, each widened to float32 exactly:
// the score of the row's float32 copy, bit for bit.
float row_score(Storage storage, const void* row, std::uint64_t dim, std::span<const float> query,
                float query_norm) noexcept;

// Square root of a squared norm, as row_score expects its query_norm.
float norm_from_squared(float squared) noexcept;

}  // namespace velk

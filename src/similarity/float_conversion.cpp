#include "similarity/float_conversion.h"

#include <bit>
#include <cstdint>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace velk {
namespace {

// Narrowing and widening run on the calling thread, in whatever floating-point
// environment the caller left (another library may have set a directed rounding
// mode, or flush-to-zero and denormals-are-zero). A hardware conversion would
// follow that environment, and scores must not depend on it, so outside the
// default environment both are done on the bits.

#if defined(__x86_64__)
// MXCSR without its status flags: every exception masked, round to nearest, no
// flush-to-zero, no denormals-are-zero.
constexpr unsigned kControlBits = 0xFFC0;
constexpr unsigned kDefaultControl = 0x1F80;
#endif

}  // namespace

// IEEE double to single precision, round to nearest with ties to even. A NaN
// keeps its sign and the top of its payload and is quieted, as the hardware does.
float narrow_on_bits(double value) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const auto sign = static_cast<std::uint32_t>(bits >> 32) & 0x80000000u;
  const auto exponent = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  if (exponent == 0x7FF) {
    const auto payload = fraction == 0 ? 0u : 0x00400000u | static_cast<std::uint32_t>(fraction >> 29);
    return std::bit_cast<float>(sign | 0x7F800000u | payload);
  }
  const int unbiased = exponent - 1023;
  if (unbiased > 127) return std::bit_cast<float>(sign | 0x7F800000u);
  if (exponent == 0 || unbiased < -151) return std::bit_cast<float>(sign);  // below half the least subnormal
  // Keep 24 significant bits for a normal result, fewer for a subnormal one.
  const std::uint64_t significand = fraction | (std::uint64_t{1} << 52);
  const auto dropped = static_cast<unsigned>(unbiased >= -126 ? 29 : 29 + (-126 - unbiased));
  std::uint64_t kept = significand >> dropped;
  const std::uint64_t rest = significand & ((std::uint64_t{1} << dropped) - 1);
  const std::uint64_t half = std::uint64_t{1} << (dropped - 1);
  // Branch-free: on real data the direction of the rounding is a coin toss.
  kept += static_cast<std::uint64_t>(rest > half) | (static_cast<std::uint64_t>(rest == half) & kept & 1);
  // A carry out of the significand moves into the exponent field by itself, up
  // to infinity at the top and from the subnormals into the normals at the bottom.
  const auto low = static_cast<std::uint32_t>(kept);
  const std::uint32_t magnitude = unbiased >= -126 ? (static_cast<std::uint32_t>(unbiased + 126) << 23) + low : low;
  return std::bit_cast<float>(sign | magnitude);
}

// Single to double precision; exact. Only a subnormal needs care: with
// denormals-are-zero the hardware would read it as zero.

double widen_to_double(float value) noexcept {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t fraction = bits & 0x007FFFFFu;
  if ((bits & 0x7F800000u) != 0 || fraction == 0) return static_cast<double>(value);
  // fraction * 2**-149, both steps exact and on normal doubles.
  const double magnitude = static_cast<double>(fraction) * 0x1p-149;
  return (bits & 0x80000000u) != 0 ? -magnitude : magnitude;
}

bool hardware_narrowing_exact() noexcept {
#if defined(__x86_64__)
  // The hardware conversion is right whenever the environment is the default
  // one, which is nearly always.
  return (_mm_getcsr() & kControlBits) == kDefaultControl;
#else
  return false;
#endif
}

float narrow_to_float32(double value) noexcept {
  // Nothing between the test and the conversion can change the environment.
  return narrow_to_float32(value, hardware_narrowing_exact());
}

}  // namespace velk

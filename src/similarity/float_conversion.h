// Narrowing of Python floats to single precision and widening of scores back,
// the same bits in any floating-point environment the caller may have left.
#pragma once

namespace velk {

// IEEE double to single precision, round to nearest with ties to even; NaN keeps
// its sign and the top of its payload and is quieted; overflow gives infinity.
float narrow_to_float32(double value) noexcept;

// The same narrowing for a caller converting many values in a row: it asks once
// whether the hardware conversion is exact here (the default floating-point
// environment), and passes the answer with each value, asking again after
// anything that could have changed the environment.
bool hardware_narrowing_exact() noexcept;
float narrow_on_bits(double value) noexcept;
inline float narrow_to_float32(double value, bool hardware_exact) noexcept {
  return hardware_exact ? static_cast<float>(value) : narrow_on_bits(value);
}

// Single to double precision, exactly (subnormals included).
double widen_to_double(float value) noexcept;

}  // namespace velk

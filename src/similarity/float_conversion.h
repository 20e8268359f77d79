// Narrowing of Python floats to single precision and widening of scores back,
// the same bits in any floating-point environment the caller may have left.
#pragma once

namespace velk {

// IEEE double to single precision, round to nearest with ties to even; NaN keeps
// its sign and the top of its payload and is quieted; overflow gives infinity.
float narrow_to_float32(double value) noexcept;

// Single to double precision, exactly (subnormals included).
double widen_to_double(float value) noexcept;

}  // namespace velk

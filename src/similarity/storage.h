// How a collection's values are stored, and the exact widening of each stored
// value to float32. Every float16, bfloat16, int8 and uint8 value is exactly a
// float32, so a collection of them is scored as its float32 copy would be:
// each value widened, then the very same multiplies and adds.
//
// The kernel files include this header too, each compiled for its own
// instruction set, so everything defined here has internal linkage (see
// row_kernel_template.h) and no library header is pulled in.
#pragma once

#include <cstdint>

namespace velk {

enum class Storage : std::uint8_t { float32, float16, bfloat16, int8, uint8 };

inline constexpr int kStorageCount = 5;
inline constexpr Storage kStorages[kStorageCount] = {Storage::float32, Storage::float16, Storage::bfloat16,
                                                     Storage::int8, Storage::uint8};

// Bytes per stored value.
constexpr std::uint64_t storage_bytes(Storage storage) noexcept {
  switch (storage) {
    case Storage::float16:
    case Storage::bfloat16:
      return 2;
    case Storage::int8:
    case Storage::uint8:
      return 1;
    default:
      return 4;
  }
}

// A collection as the core reads it: `rows` rows of `dim` values one after
// another from `data`, each storage_bytes(storage) bytes in native order.
struct Collection {
  const void* data = nullptr;
  Storage storage = Storage::float32;
  std::uint64_t rows = 0;
  std::uint64_t dim = 0;

  // The first byte of row i.
  const unsigned char* row(std::uint64_t i) const noexcept {
    return static_cast<const unsigned char*>(data) + i * dim * storage_bytes(storage);
  }
};

// floor(count / dim) rows of dim float32 values (none when dim is 0).
constexpr Collection float32_collection(const float* data, std::uint64_t count, std::uint64_t dim) noexcept {
  return {data, Storage::float32, dim == 0 ? 0 : count / dim, dim};
}

// The element types the kernels are written over: float for float32, and for
// the two 16-bit floats a wrapper of their bits, so that each has its own
// overloads.
struct Half {
  std::uint16_t bits;
};
struct BrainHalf {
  std::uint16_t bits;
};

// The storage type of an element type.
template <class E>
inline constexpr Storage kStorageOf = Storage::float32;
template <>
inline constexpr Storage kStorageOf<Half> = Storage::float16;
template <>
inline constexpr Storage kStorageOf<BrainHalf> = Storage::bfloat16;
template <>
inline constexpr Storage kStorageOf<std::int8_t> = Storage::int8;
template <>
inline constexpr Storage kStorageOf<std::uint8_t> = Storage::uint8;

namespace {

// numpy's name of the values.
inline const char* storage_name(Storage storage) noexcept {
  switch (storage) {
    case Storage::float16:
      return "float16";
    case Storage::bfloat16:
      return "bfloat16";
    case Storage::int8:
      return "int8";
    case Storage::uint8:
      return "uint8";
    default:
      return "float32";
  }
}

// IEEE half precision to single precision, exactly: subnormals become normal
// floats, infinities stay infinite, and a NaN stays a NaN with its payload in
// the top bits, quieted, as the conversion instructions of x86 and ARM do.
inline float widen(Half h) noexcept {
  const std::uint32_t bits = h.bits;
  const std::uint32_t sign = (bits & 0x8000u) << 16;
  const std::uint32_t exponent = (bits >> 10) & 0x1Fu;
  std::uint32_t mantissa = bits & 0x3FFu;
  std::uint32_t out;
  if (exponent == 0x1Fu) {
    out = sign | 0x7F800000u | (mantissa << 13) | (mantissa != 0 ? 0x00400000u : 0u);
  } else if (exponent != 0) {
    out = sign | ((exponent + 112u) << 23) | (mantissa << 13);
  } else if (mantissa == 0) {
    out = sign;
  } else {
    // A subnormal m * 2^-24: shift its leading one up to the implicit bit.
    std::uint32_t e = 113;
    while ((mantissa & 0x400u) == 0) {
      mantissa <<= 1;
      --e;
    }
    out = sign | (e << 23) | ((mantissa & 0x3FFu) << 13);
  }
  return __builtin_bit_cast(float, out);
}

// bfloat16 is the top half of a float32.
inline float widen(BrainHalf h) noexcept { return __builtin_bit_cast(float, static_cast<std::uint32_t>(h.bits) << 16); }

inline float widen(std::int8_t v) noexcept { return static_cast<float>(v); }
inline float widen(std::uint8_t v) noexcept { return static_cast<float>(v); }
inline float widen(float v) noexcept { return v; }

// Calls f.template operator()<Element>() with the element type of `storage`.
template <class F>
inline decltype(auto) with_element(Storage storage, F&& f) {
  switch (storage) {
    case Storage::float16:
      return f.template operator()<Half>();
    case Storage::bfloat16:
      return f.template operator()<BrainHalf>();
    case Storage::int8:
      return f.template operator()<std::int8_t>();
    case Storage::uint8:
      return f.template operator()<std::uint8_t>();
    default:
      return f.template operator()<float>();
  }
}

}  // namespace
}  // namespace velk

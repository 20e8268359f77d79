// Collections in every storage type for the check drivers: awkward stored
// values, and the float32 copy of each collection, widened here on its own
// terms (not by the core's widening), which every search of the stored
// collection must match bit for bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "similarity/storage.h"

namespace stored {

using velk::Storage;

// The storage type of a name such as "float16", for the drivers' arguments.
inline std::optional<Storage> storage_named(const char* name) {
  for (const Storage storage : velk::kStorages) {
    if (std::strcmp(velk::storage_name(storage), name) == 0) return storage;
  }
  return std::nullopt;
}

// The value of stored bits, from the formats' definitions.
inline float value_of(Storage storage, std::uint32_t raw) {
  switch (storage) {
    case Storage::float16: {
      const float sign = (raw & 0x8000u) != 0 ? -1.0f : 1.0f;
      const int exponent = static_cast<int>((raw >> 10) & 0x1Fu);
      const int mantissa = static_cast<int>(raw & 0x3FFu);
      if (exponent == 31) return mantissa == 0 ? sign * INFINITY : std::copysign(NAN, sign);
      if (exponent == 0) return sign * std::ldexp(static_cast<float>(mantissa), -24);
      return sign * std::ldexp(static_cast<float>(1024 + mantissa), exponent - 25);
    }
    case Storage::bfloat16: {
      const std::uint32_t bits = raw << 16;
      float x;
      std::memcpy(&x, &bits, sizeof x);
      return x;
    }
    case Storage::int8:
      return static_cast<float>(static_cast<std::int8_t>(raw));
    case Storage::uint8:
      return static_cast<float>(static_cast<std::uint8_t>(raw));
    default: {
      float x;
      std::memcpy(&x, &raw, sizeof x);
      return x;
    }
  }
}

// Stored bits for a compact type: mostly ordinary values; `weirdness` per mille
// are the type's edges: signed zeros, subnormals, infinities, NaNs with any
// payload (quiet or signalling), the largest and smallest values, values whose
// squares overflow or underflow. `below(n)` draws uniformly from [0, n).
template <class Below>
std::uint32_t compact_bits(Storage storage, unsigned weirdness, Below&& below) {
  const bool weird = below(1000) < weirdness;
  const std::uint32_t pick = static_cast<std::uint32_t>(below(8));
  switch (storage) {
    case Storage::float16: {
      const std::uint32_t sign = below(2) != 0 ? 0x8000u : 0u;
      const auto mantissa = static_cast<std::uint32_t>(below(0x400));
      if (!weird) return sign | static_cast<std::uint32_t>(8 + below(14)) << 10 | mantissa;
      const std::uint32_t edges[] = {0u,      mantissa | 1u, 0x7C00u, 0x7C00u | mantissa | 1u,
                                     0x7BFFu, 0x0400u,       0x0001u, 0x7E00u | mantissa};
      return sign | edges[pick];
    }
    case Storage::bfloat16: {
      const std::uint32_t sign = below(2) != 0 ? 0x8000u : 0u;
      const auto mantissa = static_cast<std::uint32_t>(below(0x80));
      if (!weird) return sign | static_cast<std::uint32_t>(118 + below(18)) << 7 | mantissa;
      const std::uint32_t edges[] = {0u,
                                     mantissa | 1u,
                                     0x7F80u,
                                     0x7F80u | mantissa | 1u,  // a NaN, quiet or signalling, any payload
                                     0x7F7Fu,
                                     0x0080u,
                                     static_cast<std::uint32_t>(250 - below(20)) << 7 | mantissa,
                                     static_cast<std::uint32_t>(1 + below(40)) << 7 | mantissa};
      return sign | edges[pick];
    }
    case Storage::int8: {
      if (!weird) return static_cast<std::uint32_t>(below(256));
      const std::uint32_t edges[] = {0x80u, 0x7Fu, 0u, 0xFFu, 1u, 0x80u, 0x81u, 0x80u};
      return edges[pick];
    }
    default: {
      if (!weird) return static_cast<std::uint32_t>(below(256));
      const std::uint32_t edges[] = {0xFFu, 0u, 1u, 0xFEu, 0xFFu, 0x80u, 0x7Fu, 0xFFu};
      return edges[pick];
    }
  }
}

// A collection held in `storage` and its float32 copy.
struct Stored {
  Storage storage = Storage::float32;
  std::uint64_t dim = 0;
  std::uint64_t rows = 0;
  std::vector<unsigned char> bytes;
  std::vector<float> copy;

  velk::Collection collection() const { return {bytes.data(), storage, rows, dim}; }
  velk::Collection copy_collection() const { return {copy.data(), Storage::float32, rows, dim}; }

  void set(std::uint64_t at, std::uint32_t raw) {
    const std::uint64_t size = velk::storage_bytes(storage);
    std::memcpy(bytes.data() + at * size, &raw, size);  // little-endian hosts: the low bytes
    copy[at] = value_of(storage, raw);
  }
};

// `rows` rows of `dim` stored values drawn by `draw()` (the raw bits), plus
// `extra` values after the last row, which no search may read as a row.
template <class Draw>
Stored make_stored(Storage storage, std::uint64_t rows, std::uint64_t dim, std::uint64_t extra, Draw&& draw) {
  Stored s{storage, dim, rows, std::vector<unsigned char>((rows * dim + extra) * velk::storage_bytes(storage)),
           std::vector<float>(rows * dim + extra)};
  for (std::uint64_t i = 0; i < rows * dim + extra; ++i) s.set(i, draw());
  return s;
}

// Whole rows of one value: zero (which scores +0.0), or the type's extreme
// (-128, 255, the largest finite float16 or bfloat16).
inline void fill_row(Stored& s, std::uint64_t row, bool extreme) {
  std::uint32_t raw = 0;
  if (extreme) {
    const std::uint32_t extremes[] = {0x7F7FFFFFu, 0x7BFFu, 0x7F7Fu, 0x80u, 0xFFu};
    raw = extremes[static_cast<int>(s.storage)];
  }
  for (std::uint64_t j = 0; j < s.dim; ++j) s.set(row * s.dim + j, raw);
}

}  // namespace stored

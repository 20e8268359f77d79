// The item format of a buffer export, as the struct module writes it.
#pragma once

#include <cstddef>

namespace velk {

// An optional byte-order mark, then one type code. `native` is false for a mark
// that denotes the other byte order; `simple` is false for anything longer
// (repeat counts, several items, unknown marks), whose code is then '\0'.
struct ItemFormat {
  char code = '\0';
  bool native = true;
  bool simple = false;
};

// A null format is the protocol's default, unsigned bytes.
ItemFormat parse_item_format(const char* format);

// Single-precision floats in the host's byte order: what the core reads.
bool is_native_float32(const char* format, std::ptrdiff_t itemsize);

}  // namespace velk

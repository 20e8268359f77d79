// One scored row. Its own header so that code compiled for a single
// instruction set can use it without pulling in any library header.
#pragma once

#include <cstdint>

namespace velk {

struct ScoredHit {
  std::uint64_t index;
  float score;
};

}  // namespace velk

// Scores are a bit-exact contract, and that holds only in the default
// floating-point environment: round to nearest, no flush-to-zero, no
// denormals-are-zero. A library built with fast-math can switch FTZ/DAZ on for
// the whole process, and the thread pool copies the settings of the thread that
// created it into its workers, so code that scores sets the default control bits
// for its own duration and puts the previous ones back afterwards.
#pragma once

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace velk {

class DefaultFloatEnvironment {
 public:
#if defined(__x86_64__)
  DefaultFloatEnvironment() noexcept : saved_(_mm_getcsr()) {
    _mm_setcsr(kDefaultControl | (saved_ & kStatusFlags));
  }
  // Status flags are sticky: those raised while scoring stay raised.
  ~DefaultFloatEnvironment() { _mm_setcsr((saved_ & ~kStatusFlags) | (_mm_getcsr() & kStatusFlags)); }
#else
  DefaultFloatEnvironment() noexcept = default;
#endif

  DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
  DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;

#if defined(__x86_64__)
 private:
  // MXCSR: every exception masked, round to nearest, FTZ and DAZ off.
  static constexpr unsigned kDefaultControl = 0x1F80;
  static constexpr unsigned kStatusFlags = 0x3F;
  unsigned saved_;
#endif
};

}  // namespace velk

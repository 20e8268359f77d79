// Scores are a bit-exact contract, and that holds only in the default
// floating-point environment: round to nearest, no flush-to-zero, no
// denormals-are-zero. A library built with fast-math can switch FTZ/DAZ on for
// the whole process, and the thread pool copies the settings of the thread that
// created it into its workers, so code that scores sets the default control bits
// for its own duration and puts the previous ones back afterwards.
#pragma once

#include <cstdint>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace velk {

class DefaultFloatEnvironment {
 public:
#if defined(__x86_64__)
  DefaultFloatEnvironment() noexcept : saved_(_mm_getcsr()) { _mm_setcsr(kDefaultControl | (saved_ & kStatusFlags)); }
  // Status flags are sticky: those raised while scoring stay raised.
  ~DefaultFloatEnvironment() { _mm_setcsr((saved_ & ~kStatusFlags) | (_mm_getcsr() & kStatusFlags)); }
#elif defined(__aarch64__)
  // The status flags live in a register of their own (FPSR), which is left
  // alone. Writing FPCR can stall the pipeline, so it is written only when a
  // bit differs from the default.
  DefaultFloatEnvironment() noexcept : saved_(read_fpcr()) {
    if (saved_ & kNonDefault) write_fpcr(saved_ & ~kNonDefault);
  }
  ~DefaultFloatEnvironment() {
    if (saved_ & kNonDefault) write_fpcr(saved_);
  }
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
#elif defined(__aarch64__)
 private:
  // Plain inline assembly: GCC and clang, Linux and macOS all take it, while the
  // intrinsics for it differ between compilers and versions. The memory clobber
  // keeps the compiler from moving loads and stores of scoring data across it.
  static std::uint64_t read_fpcr() noexcept {
    std::uint64_t value;
    __asm__ __volatile__("mrs %0, fpcr" : "=r"(value) : : "memory");
    return value;
  }
  static void write_fpcr(std::uint64_t value) noexcept {
    __asm__ __volatile__("msr fpcr, %0" : : "r"(value) : "memory");
  }

  // FPCR bits that must be clear while scoring: FIZ (0) and AH (1), which flush
  // inputs and change NaN and flag handling; NEP (2), which changes what scalar
  // operations leave in the rest of a vector register; the trap enables IOE,
  // DZE, OFE, UFE, IXE (8-12) and IDE (15); FZ16 (19); the rounding mode (22-23,
  // 0 is round to nearest); FZ (24), flush-to-zero; DN (25), default NaN.
  static constexpr std::uint64_t kNonDefault =
      (1u << 0) | (1u << 1) | (1u << 2) | (0x1Fu << 8) | (1u << 15) | (1u << 19) | (3u << 22) | (1u << 24) | (1u << 25);
  std::uint64_t saved_;
#endif
};

}  // namespace velk

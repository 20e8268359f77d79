// Internal failures ("panics"): one exception type that carries its message and
// where it was raised. The report goes to standard error at the raise site, on
// the thread that failed, so a failure inside a pool worker is still reported
// where it happened before it is carried back to the caller.
#pragma once

#include <exception>
#include <source_location>
#include <string>

// The numeric core is one shared library that both extension modules load.
// Panic's type information must be the core's own, seen by every module that
// catches it, even where a module hides its other symbols.
#if defined(_WIN32)
#define VELK_CORE_VISIBLE
#else
#define VELK_CORE_VISIBLE __attribute__((visibility("default")))
#endif

namespace velk {

class VELK_CORE_VISIBLE Panic final : public std::exception {
 public:
  Panic(std::string message, std::source_location where);
  // Defined out of line so that the type information and vtable live in the
  // core alone.
  ~Panic() override;
  Panic(const Panic&) = default;
  Panic(Panic&&) = default;
  Panic& operator=(const Panic&) = default;
  Panic& operator=(Panic&&) = default;

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& location() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Writes the panic report to standard error, then throws Panic.
[[noreturn]] void panic(std::string message, std::source_location where = std::source_location::current());

// Throws Panic without a report: for a panic that already reported once and
// comes back through Python code.
[[noreturn]] void resume_panic(std::string message, std::source_location where = std::source_location::current());

// Writes the report of a failure that cannot be unwound any further and ends the
// process.
[[noreturn]] void abort_with_report(const char* message,
                                    std::source_location where = std::source_location::current()) noexcept;

// Gives the calling thread, now, everything it needs to throw and catch later:
// the C++ runtime's per-thread exception state and this library's own
// thread-local data. Both are allocated at a thread's first use, and when that
// allocation fails (a first exception that comes with exhausted memory) the
// system's loader ends the process instead of raising anything. Called by each
// module's init, by every entry before its work, and by each pool worker as it
// starts. Cheap once done.
void prepare_thread_for_failures() noexcept;

// Marks the calling thread as one of the worker pool's: its panic reports name
// it '<unnamed>', whatever system name it inherited from its creator.
void mark_thread_as_pool_worker() noexcept;

}  // namespace velk

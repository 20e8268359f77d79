// Internal failures ("panics"): one exception type that carries its message and
// where it was raised. The report goes to standard error at the raise site, on
// the thread that failed, so a failure inside a pool worker is still reported
// where it happened before it is carried back to the caller.
#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace velk {

class Panic final : public std::exception {
 public:
  Panic(std::string message, std::source_location where);

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const std::source_location& location() const noexcept { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Writes the panic report to standard error, then throws Panic.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Throws Panic without a report: for a panic that already reported once and
// comes back through Python code.
[[noreturn]] void resume_panic(std::string message,
                               std::source_location where = std::source_location::current());

// Writes the report of a failure that cannot be unwound any further and ends the
// process.
[[noreturn]] void abort_with_report(const char* message,
                                    std::source_location where = std::source_location::current()) noexcept;

}  // namespace velk

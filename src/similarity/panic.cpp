#include "similarity/panic.h"

#include <pthread.h>

#if defined(__linux__)
#include <sys/syscall.h>
#include <unistd.h>
#endif
#if __has_include(<execinfo.h>)
#include <execinfo.h>
#define VELK_HAS_BACKTRACE 1
#endif

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#define VELK_HAS_CXXABI 1
#endif

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace velk {
namespace {

std::atomic<bool> first_report_written{false};

// Constant-initialised: reading it calls no initialisation wrapper.
thread_local bool is_pool_worker = false;

// The number the system gives the calling thread, as debuggers and top show it.
unsigned long long thread_id() noexcept {
#if defined(__linux__)
  return static_cast<unsigned long long>(syscall(SYS_gettid));
#elif defined(__APPLE__)
  std::uint64_t id = 0;
  pthread_threadid_np(nullptr, &id);
  return id;
#else
  // No portable system number: one of our own, fixed for the thread's life.
  static std::atomic<unsigned long long> next{1};
  thread_local const unsigned long long id = next.fetch_add(1);
  return id;
#endif
}

void write_report(const std::string& message, const std::source_location& where) noexcept {
  char name[64] = {};
  if (is_pool_worker || pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
    std::snprintf(name, sizeof name, "%s", "<unnamed>");
  }
  // The report's shape, "thread '{name}' ({id}) panicked at {file}:{line}:{column}:"
  // and then the message, is what callers match in standard error, and tests pin
  // it: keep it as it is. One fprintf per line keeps the report readable when
  // two threads panic at once.
  std::fprintf(stderr, "\nthread '%s' (%llu) panicked at %s:%u:%u:\n%s\n", name, thread_id(), where.file_name(),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()), message.c_str());
  if (const char* wanted = std::getenv("VELK_BACKTRACE"); wanted != nullptr && wanted[0] != '\0' && wanted[0] != '0') {
#if defined(VELK_HAS_BACKTRACE)
    void* frames[64];
    const int count = backtrace(frames, 64);
    std::fputs("stack backtrace:\n", stderr);
    std::fflush(stderr);
    backtrace_symbols_fd(frames, count, 2);
#else
    std::fputs("stack backtrace: not available on this platform\n", stderr);
#endif
  } else if (!first_report_written.exchange(true)) {
    std::fputs("note: the module keeps running; set VELK_BACKTRACE=1 to add the native call stack to reports\n",
               stderr);
  }
  std::fflush(stderr);
}

}  // namespace

Panic::Panic(std::string message, std::source_location where) : message_(std::move(message)), where_(where) {}

Panic::~Panic() = default;

void prepare_thread_for_failures() noexcept {
#if defined(VELK_HAS_CXXABI)
  // Declared const, so its result must be used for the call to stay.
  [[maybe_unused]] abi::__cxa_eh_globals* volatile globals = abi::__cxa_get_globals();
#endif
  // A volatile read cannot be dropped, so the thread's block of this library's
  // thread-local data is allocated here.
  [[maybe_unused]] const volatile bool* const flag = &is_pool_worker;
  [[maybe_unused]] const bool touched = *flag;
}

void mark_thread_as_pool_worker() noexcept { is_pool_worker = true; }

void panic(std::string message, std::source_location where) {
  write_report(message, where);
  throw Panic(std::move(message), where);
}

void resume_panic(std::string message, std::source_location where) { throw Panic(std::move(message), where); }

void abort_with_report(const char* message, std::source_location where) noexcept {
  write_report(message, where);
  std::fputs("thread caused non-unwinding panic. aborting.\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace velk

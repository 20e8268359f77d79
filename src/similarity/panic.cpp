#include "similarity/panic.h"

#include <execinfo.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace velk {
namespace {

std::atomic<bool> first_report_written{false};

void write_report(const std::string& message, const std::source_location& where) noexcept {
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
    std::snprintf(name, sizeof name, "%s", "<unnamed>");
  }
  const long id = syscall(SYS_gettid);
  // One fprintf per line keeps the report readable when two threads panic at once.
  std::fprintf(stderr, "\nthread '%s' (%ld) panicked at %s:%u:%u:\n%s\n", name, id, where.file_name(),
               static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()),
               message.c_str());
  if (const char* wanted = std::getenv("VELK_BACKTRACE"); wanted != nullptr && wanted[0] != '\0' &&
                                                          wanted[0] != '0') {
    void* frames[64];
    const int count = backtrace(frames, 64);
    std::fputs("stack backtrace:\n", stderr);
    std::fflush(stderr);
    backtrace_symbols_fd(frames, count, 2);
  } else if (!first_report_written.exchange(true)) {
    std::fputs("note: the module keeps running; set VELK_BACKTRACE=1 to add the native call stack to reports\n",
               stderr);
  }
  std::fflush(stderr);
}

}  // namespace

Panic::Panic(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

void panic(std::string message, std::source_location where) {
  write_report(message, where);
  throw Panic(std::move(message), where);
}

void resume_panic(std::string message, std::source_location where) {
  throw Panic(std::move(message), where);
}

void abort_with_report(const char* message, std::source_location where) noexcept {
  write_report(message, where);
  std::fputs("thread caused non-unwinding panic. aborting.\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace velk

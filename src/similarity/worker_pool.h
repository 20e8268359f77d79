// The process-wide worker pool that scores flat rows in parallel.
//
// It is created by the first call that needs it and then lives until the
// process ends; it is never stopped, joined or resized. Its size is read once,
// at creation, from two environment variables (see choose_worker_count), and
// all of its workers are started then. Several threads may hand it work at the
// same time; nothing here relies on the interpreter lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "similarity/panic.h"

namespace velk {

inline constexpr std::uint64_t kMaxWorkers = 65535;

// One worker-count variable: decimal digits with at most one leading '+', no
// blanks, at most 2^64 - 1. Anything else is invalid (nullopt).
std::optional<std::uint64_t> parse_worker_count(std::string_view text) noexcept;

// The worker-count rule. `num_threads` and `num_cpus` are the values of
// RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (nullptr when unset), `processors` is
// what the system reports as online processors (0 or negative when it cannot
// tell).
//  - num_threads valid and > 0: that many;
//  - num_threads valid and 0: the default, num_cpus is not consulted;
//  - num_threads unset or invalid: num_cpus > 0 if it is valid, else the default.
// The default is `processors`, or 1. The result is capped at kMaxWorkers.
std::uint64_t choose_worker_count(const char* num_threads, const char* num_cpus, long processors) noexcept;

// A non-owning reference to a callable, valid while the referenced callable
// lives: handing work to the pool allocates nothing for the body.
template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  // The callable's address is kept without its type, and so without its
  // constness; the call casts it back to F's own type, const where F is.
  template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, FunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
  FunctionRef(F&& f) noexcept       // NOLINT(google-explicit-constructor): used like a function parameter
      : object_(const_cast<void*>(  // NOLINT(cppcoreguidelines-pro-type-const-cast)
            static_cast<const void*>(std::addressof(f)))),
        call_([](void* object, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

// Work on range `range` as part of task `task`.
using TaskBody = FunctionRef<void(std::uint64_t task, std::uint64_t range)>;

// Asked now and then by a thread that waits for its own work, whether that work
// should stop; true stops it. Whatever it does runs on the waiting thread.
using StopCheck = FunctionRef<bool()>;

// Thrown out of run_on_pool / run_here when the thread's stop check asked to
// stop: the ranges not started by then were skipped, the others are finished.
class VELK_CORE_VISIBLE Stopped : public std::exception {
 public:
  const char* what() const noexcept override;
};

// While it lives, run_on_pool and run_here called on this thread ask `check`
// about every kStopCheckInterval of their work or waiting (never while a lock
// of the pool is held). Scopes nest; the innermost one is asked.
class VELK_CORE_VISIBLE StopCheckScope {
 public:
  explicit StopCheckScope(const StopCheck& check) noexcept;
  ~StopCheckScope();
  StopCheckScope(const StopCheckScope&) = delete;
  StopCheckScope& operator=(const StopCheckScope&) = delete;

 private:
  const StopCheck* previous_;
};

inline constexpr std::chrono::milliseconds kStopCheckInterval{5};

// The pool's worker count W, creating the pool and starting its W workers on
// first use. When a worker cannot be started, panics with "The global thread
// pool has not been initialized.: IOError: ..." (the system's error), and with
// "...: GlobalPoolAlreadyInitialized" on every later call: creation is tried
// once per process.
std::uint64_t pool_worker_count();
// The same; with `report` false the panic is thrown without its report on
// standard error, for callers whose users are told by the exception alone.
std::uint64_t pool_worker_count(bool report);

// Runs body(task, range) exactly once for every range in [0, ranges), spread
// over `tasks` tasks (1 <= tasks <= pool_worker_count()) that run on the pool's
// workers, possibly at the same time. The calls of one task never overlap, so
// state kept per task needs no lock. The calling thread only waits: it returns
// when every range is done, and rethrows the first failure of a range (ranges
// not started by then are skipped). Each task runs in the default
// floating-point environment.
//
// A single task runs on the calling thread, and so does everything in a
// process forked after the pool was created, which has none of the workers.
void run_on_pool(std::uint64_t ranges, std::uint64_t tasks, TaskBody body);

// Runs body(0, range) for every range in order on the calling thread, in the
// default floating-point environment, asking the thread's stop check between
// ranges. Never creates the pool.
void run_here(std::uint64_t ranges, TaskBody body);

}  // namespace velk

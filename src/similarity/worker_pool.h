// The process-wide worker pool that scores flat rows in parallel.
//
// It is created by the first call that needs it and then lives until the
// process ends; it is never stopped, joined or resized. Its size is read once,
// at creation, from two environment variables (see choose_worker_count).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

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

// Receives a half-open range of rows [begin, end) to process on one thread.
using RowRangeBody = std::function<void(std::uint64_t begin, std::uint64_t end)>;

// Runs `body` over disjoint ranges that together cover [0, n) exactly once,
// on the pool's workers, and returns when every range is done. Ranges hold at
// least `grain` rows where the split allows; a range of at most `grain` rows is
// run on the calling thread. The first failure of a range is rethrown here.
//
// Creates the pool on first use, even when it then runs everything on the
// calling thread. Panics when the pool cannot be created, and on every later
// call after that. In a child process forked after the pool was created, which
// inherits none of the worker threads, everything runs on the calling thread.
//
// Each range runs in the default floating-point environment.
void for_each_row_range(std::uint64_t n, std::uint64_t grain, const RowRangeBody& body);

}  // namespace velk

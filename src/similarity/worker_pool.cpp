#include "similarity/worker_pool.h"

#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/task_arena.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>

#include "similarity/float_environment.h"
#include "similarity/panic.h"

namespace velk {
namespace {

constexpr std::size_t kWorkerStackBytes = 2 * 1024 * 1024;
constexpr char kNotInitialized[] = "The global thread pool has not been initialized.: ";

// Created once with new and deliberately never deleted: the pool must outlive
// every caller, and tearing TBB down from a static destructor at exit (or in a
// forked child, which has no workers to join) could wait forever.
struct WorkerPool {
  explicit WorkerPool(std::uint64_t worker_count)
      : workers(worker_count),
        // TBB lets a process run at most max_allowed_parallelism threads,
        // callers included, and by default only processors - 1 workers. The
        // calling thread does not score, so W workers need room for W + 1.
        parallelism(tbb::global_control::max_allowed_parallelism, worker_count + 1),
        stack_size(tbb::global_control::thread_stack_size, kWorkerStackBytes),
        // No slot is reserved for an external thread: work is enqueued and only
        // workers enter the arena.
        arena(static_cast<int>(worker_count), 0) {
    arena.initialize();
  }

  std::uint64_t workers;
  // The process that owns the worker threads. A child forked later shares this
  // memory but none of the threads, and work handed to TBB there would never run.
  pid_t owner = getpid();
  tbb::global_control parallelism;
  tbb::global_control stack_size;
  tbb::task_arena arena;
};

std::atomic<WorkerPool*> ready_pool{nullptr};
std::mutex creation_mutex;
bool creation_attempted = false;
// Set when a worker thread could not be started after the pool was made.
std::atomic<bool> pool_failed{false};

std::string io_error(int code) {
  return "IOError: " + std::generic_category().message(code) + " (os error " + std::to_string(code) + ")";
}

std::string describe_creation_failure() {
  try {
    throw;
  } catch (const std::system_error& error) {
    return io_error(error.code().value());
  } catch (const std::bad_alloc&) {
    return io_error(ENOMEM);
  } catch (const std::exception& error) {
    return std::string("IOError: ") + error.what();
  } catch (...) {
    return "IOError: unknown failure while starting worker threads";
  }
}

WorkerPool* create_pool() {
  return new WorkerPool(choose_worker_count(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                                            sysconf(_SC_NPROCESSORS_ONLN)));
}

WorkerPool& global_pool() {
  if (WorkerPool* pool = ready_pool.load(std::memory_order_acquire)) {
    return *pool;
  }
  std::string failure;
  {
    std::lock_guard lock(creation_mutex);
    if (WorkerPool* pool = ready_pool.load(std::memory_order_relaxed)) {
      return *pool;
    }
    if (creation_attempted) {
      failure = "GlobalPoolAlreadyInitialized";
    } else {
      creation_attempted = true;
      try {
        WorkerPool* pool = create_pool();
        ready_pool.store(pool, std::memory_order_release);
        return *pool;
      } catch (...) {
        failure = describe_creation_failure();
      }
    }
  }
  panic(kNotInitialized + failure);
}

void run_range(const RowRangeBody& body, std::uint64_t begin, std::uint64_t end) {
  const DefaultFloatEnvironment environment;
  body(begin, end);
}

// One submission: the calling thread sleeps on it until the workers are done.
// It is shared with the queued tasks, because a task whose enqueue failed may
// still sit in the queue after the call has returned.
//
// The submission is queued as one task per worker, all at once, and each task
// takes ranges of `grain` rows, from its own share and then from the others,
// until none are left. A single task that split its range for the others to
// steal would wake the second worker only once the first had started, and on
// a short call the first would often finish alone before the second arrived.
struct Submission {
  Submission(std::uint64_t rows, std::uint64_t rows_per_range, std::uint64_t task_count,
             const RowRangeBody& range_body)
      : n(rows), grain(rows_per_range), tasks(task_count), body(range_body), shares(new Share[task_count]) {
    const std::uint64_t ranges = n / grain + (n % grain != 0);
    for (std::uint64_t s = 0; s < tasks; ++s) {
      shares[s].next.store(s * ranges / tasks, std::memory_order_relaxed);
      shares[s].end = (s + 1) * ranges / tasks;
    }
  }

  std::uint64_t n;
  std::uint64_t grain;
  std::uint64_t tasks;
  const RowRangeBody& body;  // valid only while the caller waits
  // Share s covers ranges [s * ranges / tasks, (s + 1) * ranges / tasks); next[s]
  // counts the ranges of share s already taken.
  struct alignas(64) Share {
    std::atomic<std::uint64_t> next{0};
    std::uint64_t end = 0;
  };
  std::unique_ptr<Share[]> shares;
  std::atomic<bool> failed{false};
  std::exception_ptr failure;
  std::mutex mutex;
  std::condition_variable finished_signal;
  std::uint64_t running = 0;
  std::uint64_t done = 0;  // tasks that returned, run or not
  bool abandoned = false;
};

// A number that stays with a worker thread for its life, different for each.
std::uint64_t worker_id() noexcept {
  static std::atomic<std::uint64_t> count{0};
  thread_local const std::uint64_t id = count.fetch_add(1, std::memory_order_relaxed);
  return id;
}

void run_submission(Submission& submission) {
  {
    std::lock_guard lock(submission.mutex);
    if (submission.abandoned) return;  // the caller has gone: its rows are gone too
    ++submission.running;
  }
  std::exception_ptr failure;
  try {
    // A worker starts with the same share on every call, so that on an input
    // that fits in the caches its part stays in its own core's cache from one
    // call to the next; then it helps with the others.
    const std::uint64_t own = worker_id() % submission.tasks;
    for (std::uint64_t k = 0; k < submission.tasks; ++k) {
      auto& share = submission.shares[(own + k) % submission.tasks];
      for (;;) {
        if (submission.failed.load(std::memory_order_relaxed)) break;
        const std::uint64_t range = share.next.fetch_add(1, std::memory_order_relaxed);
        if (range >= share.end) break;
        const std::uint64_t begin = range * submission.grain;
        run_range(submission.body, begin, std::min(submission.n, begin + submission.grain));
      }
    }
  } catch (...) {
    failure = std::current_exception();
    // The other tasks take no further range; those they hold run to the end.
    submission.failed.store(true, std::memory_order_relaxed);
  }
  // Notify while holding the lock: once it is released the caller may return.
  std::lock_guard lock(submission.mutex);
  if (failure && !submission.failure) submission.failure = failure;
  --submission.running;
  ++submission.done;
  if (submission.done == submission.tasks || (submission.abandoned && submission.running == 0)) {
    submission.finished_signal.notify_one();
  }
}

void score_on_workers(tbb::task_arena& arena, std::uint64_t workers, std::uint64_t n, std::uint64_t grain,
                      const RowRangeBody& body) {
  const std::uint64_t ranges = n / grain + (n % grain != 0);
  auto submission = std::make_shared<Submission>(n, grain, std::min(workers, ranges), body);
  // The calling thread enqueues and blocks instead of joining the arena with
  // execute(): it holds the interpreter lock and never scores, so exactly the W
  // workers do, and a caller that is not a TBB thread never becomes one.
  std::uint64_t queued = 0;
  try {
    for (; queued < submission->tasks; ++queued) {
      arena.enqueue([submission] { run_submission(*submission); });
    }
  } catch (...) {
    // TBB starts its threads on demand, inside enqueue, and throws when one
    // cannot be started. Tasks may be queued all the same, and TBB cannot be
    // trusted to run later work: keep the tasks away from this call's memory and
    // fail this call and every later one, as for a pool that could not start.
    std::string failure = describe_creation_failure();
    std::unique_lock lock(submission->mutex);
    submission->abandoned = true;
    submission->finished_signal.wait(lock, [&submission] { return submission->running == 0; });
    pool_failed.store(true, std::memory_order_release);
    lock.unlock();
    panic(kNotInitialized + failure);
  }
  std::unique_lock lock(submission->mutex);
  submission->finished_signal.wait(lock, [&submission] { return submission->done == submission->tasks; });
  if (submission->failure) {
    std::rethrow_exception(submission->failure);
  }
}

}  // namespace

std::optional<std::uint64_t> parse_worker_count(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (kMax - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return value;
}

std::uint64_t choose_worker_count(const char* num_threads, const char* num_cpus, long processors) noexcept {
  const auto parsed = [](const char* text) -> std::optional<std::uint64_t> {
    return text == nullptr ? std::nullopt : parse_worker_count(text);
  };
  std::uint64_t chosen = 0;
  if (const auto threads = parsed(num_threads)) {
    chosen = *threads;  // 0 asks for the default and ends the search
  } else if (const auto cpus = parsed(num_cpus)) {
    chosen = *cpus;
  }
  if (chosen == 0) {
    chosen = processors > 0 ? static_cast<std::uint64_t>(processors) : 1;
  }
  return std::min(chosen, kMaxWorkers);
}

void for_each_row_range(std::uint64_t n, std::uint64_t grain, const RowRangeBody& body) {
  WorkerPool& pool = global_pool();
  grain = std::max<std::uint64_t>(grain, 1);
  if (getpid() != pool.owner) {
    run_range(body, 0, n);
    return;
  }
  if (pool_failed.load(std::memory_order_acquire)) {
    panic(std::string(kNotInitialized) + "GlobalPoolAlreadyInitialized");
  }
  if (n <= grain) {
    run_range(body, 0, n);
    return;
  }
  score_on_workers(pool.arena, pool.workers, n, grain, body);
}

}  // namespace velk

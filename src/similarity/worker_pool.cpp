#include "similarity/worker_pool.h"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <string>
#include <system_error>

#include "similarity/fixed_texts.h"
#include "similarity/float_environment.h"
#include "similarity/panic.h"

namespace velk {
namespace {

constexpr std::size_t kWorkerStackBytes = std::size_t{2} << 20;
// Waking a sleeping thread costs tens of microseconds, as much as a whole small
// search. So a worker that ran out of work keeps looking for more for a while
// before it sleeps (a caller that searches in a loop finds its workers awake),
// and a caller looks for its result for a while before it sleeps. Both give
// the processor away between looks: on a machine with as many processors as
// workers, a looking thread must not keep a working one, or the caller, from
// running.
constexpr std::chrono::microseconds kWorkerLooksForWork{200};
constexpr std::chrono::microseconds kCallerLooksForResult{100};

// Calls `done` between yields of the processor until it returns true or
// `patience` has passed; returns its last answer.
template <class Done>
bool yield_until(std::chrono::microseconds patience, Done&& done) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    sched_yield();
  }
  return true;
}

// The innermost StopCheckScope of this thread.
thread_local const StopCheck* current_stop_check = nullptr;

// Asks the thread's stop check, at most once per kStopCheckInterval.
class StopPoller {
 public:
  StopPoller() noexcept : check_(current_stop_check), next_(std::chrono::steady_clock::now() + kStopCheckInterval) {}

  bool active() const noexcept { return check_ != nullptr; }

  bool should_stop() {
    if (check_ == nullptr) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return false;
    next_ = now + kStopCheckInterval;
    return (*check_)();
  }

 private:
  const StopCheck* check_;
  std::chrono::steady_clock::time_point next_;
};

// One call's work, owned by the calling thread's stack frame. The caller waits
// until no worker refers to it any more.
struct Submission {
  Submission(std::uint64_t range_count, std::uint64_t task_count, TaskBody task_body)
      : ranges(range_count), tasks(task_count), body(task_body), shares(new Share[task_count]) {
    for (std::uint64_t s = 0; s < tasks; ++s) {
      shares[s].next.store(s * ranges / tasks, std::memory_order_relaxed);
      shares[s].end = (s + 1) * ranges / tasks;
    }
  }

  const std::uint64_t ranges;
  const std::uint64_t tasks;
  const TaskBody body;
  // The ranges are cut into one share per task. A task starts on the share of
  // its worker, so that on an input that fits in the caches each core scores
  // the same part on every call and finds it still in its own cache, then
  // helps with the other shares.
  struct alignas(64) Share {
    std::atomic<std::uint64_t> next{0};
    std::uint64_t end = 0;
  };
  const std::unique_ptr<Share[]> shares;
  // Set by the first failing range: no task takes another range.
  std::atomic<bool> failed{false};

  // Guarded by the pool's mutex.
  Submission* next_queued = nullptr;
  Submission* prev_queued = nullptr;
  bool queued = false;
  std::uint64_t claimed = 0;   // tasks taken by workers
  std::uint64_t running = 0;   // tasks taken and not finished
  bool all_taken = false;      // a task ran out of ranges: no range is left to start
  std::exception_ptr failure;  // the first failure of a range
  std::condition_variable finished;
  // all_taken && running == 0, readable without the lock by the caller.
  std::atomic<bool> done{false};
};

class Pool {
 public:
  explicit Pool(std::uint64_t worker_count) : workers(worker_count) {}

  const std::uint64_t workers;
  // Set by start_workers once every worker has been started (kStarted) or a
  // start failed (kAbandoned); workers wait for it (see worker_main).
  static constexpr int kStarting = 0;
  static constexpr int kStarted = 1;
  static constexpr int kAbandoned = 2;
  std::atomic<int> start{kStarting};
  // Workers that have finished preparing their thread.
  std::atomic<std::uint64_t> prepared{0};

  void run(std::uint64_t ranges, std::uint64_t tasks, TaskBody body);
  [[noreturn]] void serve() noexcept;
  // Held across fork() so that the child inherits the queue in a consistent
  // state and an unlocked mutex.
  void lock_for_fork() noexcept { mutex_.lock(); }
  void unlock_after_fork() noexcept { mutex_.unlock(); }

 private:
  void enqueue(Submission& submission) noexcept;
  void unlink(Submission& submission) noexcept;
  static std::exception_ptr run_task(Submission& submission, std::uint64_t task, std::uint64_t worker) noexcept;

  std::mutex mutex_;
  std::condition_variable work_;
  // Submissions with tasks that no worker has taken yet, oldest first: every
  // caller is served in turn, none can be passed over for ever.
  Submission* head_ = nullptr;
  Submission* tail_ = nullptr;
  // Whether head_ is set, readable without the lock by workers looking for work.
  std::atomic<bool> pending_{false};
  std::uint64_t sleeping_ = 0;  // workers waiting on work_, guarded by mutex_
  std::atomic<std::uint64_t> started_{0};
};

void Pool::enqueue(Submission& submission) noexcept {
  submission.prev_queued = tail_;
  submission.next_queued = nullptr;
  (tail_ != nullptr ? tail_->next_queued : head_) = &submission;
  tail_ = &submission;
  submission.queued = true;
  pending_.store(true, std::memory_order_relaxed);
}

void Pool::unlink(Submission& submission) noexcept {
  (submission.prev_queued != nullptr ? submission.prev_queued->next_queued : head_) = submission.next_queued;
  (submission.next_queued != nullptr ? submission.next_queued->prev_queued : tail_) = submission.prev_queued;
  submission.queued = false;
  pending_.store(head_ != nullptr, std::memory_order_relaxed);
}

// Takes ranges until none is left or one has failed; returns that failure.
std::exception_ptr Pool::run_task(Submission& submission, std::uint64_t task, std::uint64_t worker) noexcept {
  try {
    const DefaultFloatEnvironment environment;
    const std::uint64_t own = worker % submission.tasks;
    for (std::uint64_t k = 0; k < submission.tasks; ++k) {
      auto& share = submission.shares[(own + k) % submission.tasks];
      while (!submission.failed.load(std::memory_order_relaxed)) {
        const std::uint64_t range = share.next.fetch_add(1, std::memory_order_relaxed);
        if (range >= share.end) break;
        submission.body(task, range);
      }
    }
  } catch (...) {
    submission.failed.store(true, std::memory_order_relaxed);
    return std::current_exception();
  }
  return nullptr;
}

[[noreturn]] void Pool::serve() noexcept {
  const std::uint64_t worker = started_.fetch_add(1, std::memory_order_relaxed);
  // A failure of the pool's own locking cannot be carried to any caller.
  try {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (head_ == nullptr) {
        lock.unlock();
        yield_until(kWorkerLooksForWork, [this] { return pending_.load(std::memory_order_relaxed); });
        lock.lock();
        while (head_ == nullptr) {
          ++sleeping_;
          work_.wait(lock);
          --sleeping_;
        }
      }
      Submission& submission = *head_;
      const std::uint64_t task = submission.claimed++;
      ++submission.running;
      if (submission.claimed == submission.tasks) unlink(submission);
      lock.unlock();

      const std::exception_ptr failure = run_task(submission, task, worker);

      lock.lock();
      if (failure && !submission.failure) submission.failure = failure;
      submission.all_taken = true;
      // Notified under the lock: once it is released the caller may return
      // and the submission is gone.
      if (--submission.running == 0) {
        submission.done.store(true, std::memory_order_release);
        submission.finished.notify_one();
      }
    }
  } catch (...) {
    std::fputs("velk: the worker pool's synchronisation failed; aborting\n", stderr);
    std::abort();
  }
}

void Pool::run(std::uint64_t ranges, std::uint64_t tasks, TaskBody body) {
  Submission submission(ranges, tasks, body);
  std::unique_lock lock(mutex_);
  enqueue(submission);
  // Workers that are awake take the tasks without a signal; a call wakes at
  // most one sleeping worker per task, however large the pool is.
  const std::uint64_t wake = std::min(tasks, sleeping_);
  lock.unlock();
  if (wake == workers) {
    work_.notify_all();
  } else {
    for (std::uint64_t t = 0; t < wake; ++t) work_.notify_one();
  }
  yield_until(kCallerLooksForResult, [&submission] { return submission.done.load(std::memory_order_acquire); });
  // Once stopped, the call is over as soon as no worker runs one of its tasks:
  // a task taken later would find it unlinked.
  bool stopped = false;
  const auto over = [&submission, &stopped] { return submission.running == 0 && (submission.all_taken || stopped); };
  // Taken even when the result is in: the last worker lets go of the
  // submission only when it releases the lock.
  lock.lock();
  if (StopPoller poller; poller.active()) {
    // The check runs without the pool's lock: it may wait for other locks
    // (an interpreter's) whose holders may be waiting for this one.
    while (!stopped && !submission.finished.wait_for(lock, kStopCheckInterval, over)) {
      lock.unlock();
      stopped = poller.should_stop();
      lock.lock();
      // The workers finish the range they are in and take no other.
      if (stopped) submission.failed.store(true, std::memory_order_relaxed);
    }
  }
  submission.finished.wait(lock, over);
  // Tasks that no worker took by now would find no range left.
  if (submission.queued) unlink(submission);
  lock.unlock();
  if (submission.failure) std::rethrow_exception(submission.failure);
  if (stopped) throw Stopped();
}

// A worker keeps the system name it inherited from its creator: tools that list
// threads show it as part of the process. Its panic reports say "<unnamed>".
// It prepares for failures before its creator returns (start_workers waits),
// so that this never has to happen later, when memory may have run out. The
// workers of a pool that could not start never work, and never prepare: the
// allocations would only take address space from the threads still working.
void* worker_main(void* argument) {
  Pool& pool = *static_cast<Pool*>(argument);
  pool.start.wait(Pool::kStarting, std::memory_order_acquire);
  if (pool.start.load(std::memory_order_acquire) == Pool::kStarted) {
    prepare_thread_for_failures();
    mark_thread_as_pool_worker();
    pool.prepared.fetch_add(1, std::memory_order_release);
  }
  pool.serve();
}

std::string io_error(int code) {
  return "IOError: " + std::generic_category().message(code) + " (os error " + std::to_string(code) + ")";
}

// Starts the pool's workers, detached, with 2 MiB stacks and every signal
// blocked (signals are for the interpreter's threads). Returns 0 or the error
// of the first start that failed; workers started before it stay parked. When
// every start succeeded, returns only once every worker has prepared its
// thread for failures.
int start_workers(Pool& pool) noexcept {
  pthread_attr_t attributes;
  if (const int error = pthread_attr_init(&attributes); error != 0) return error;
  int error = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  if (error == 0) error = pthread_attr_setstacksize(&attributes, kWorkerStackBytes);
  sigset_t all_signals;
  sigset_t previous;
  sigfillset(&all_signals);
  if (error == 0) error = pthread_sigmask(SIG_SETMASK, &all_signals, &previous);
  std::uint64_t started = 0;
  if (error == 0) {
    for (; started < pool.workers; ++started) {
      pthread_t thread;
      error = pthread_create(&thread, &attributes, worker_main, &pool);
      if (error != 0) break;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  pthread_attr_destroy(&attributes);
  pool.start.store(error == 0 ? Pool::kStarted : Pool::kAbandoned, std::memory_order_release);
  pool.start.notify_all();
  if (error == 0) {
    while (pool.prepared.load(std::memory_order_acquire) < started) sched_yield();
  }
  return error;
}

std::mutex creation_mutex;
bool creation_attempted = false;  // guarded by creation_mutex
std::atomic<Pool*> ready_pool{nullptr};

// Set in a child forked after the pool was created: the child has none of the
// workers, whatever the pool records.
std::atomic<bool> in_forked_child{false};

// A fork copies the locks as they are, held by threads the child does not
// have. So the forking thread takes both of the pool's locks first (waiting
// for a creation in progress to finish) and releases them on both sides: the
// child starts with them free and the pool either created or not, never half.
void before_fork() noexcept {
  creation_mutex.lock();
  if (Pool* pool = ready_pool.load(std::memory_order_acquire)) pool->lock_for_fork();
}

void after_fork_in_parent() noexcept {
  if (Pool* pool = ready_pool.load(std::memory_order_acquire)) pool->unlock_after_fork();
  creation_mutex.unlock();
}

void after_fork_in_child() noexcept {
  if (Pool* pool = ready_pool.load(std::memory_order_acquire)) {
    in_forked_child.store(true, std::memory_order_relaxed);
    pool->unlock_after_fork();
  }
  creation_mutex.unlock();
}

// Installed when the library is loaded, before any thread can create the
// pool; a failure is reported by the first creation.
const int fork_handlers_error = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

// Creates the pool, or returns the description of why it could not be.
// Deliberately never deleted: the pool outlives every caller, and workers that
// started before a failure still refer to it.
std::string create_pool() {
  const std::uint64_t workers = choose_worker_count(std::getenv(kNumThreadsVariable), std::getenv(kNumCpusVariable),
                                                    sysconf(_SC_NPROCESSORS_ONLN));
  Pool* pool = new (std::nothrow) Pool(workers);
  if (pool == nullptr) return io_error(ENOMEM);
  if (fork_handlers_error != 0) return io_error(fork_handlers_error);
  if (const int error = start_workers(*pool); error != 0) return io_error(error);
  ready_pool.store(pool, std::memory_order_release);
  return {};
}

Pool& global_pool(bool report = true) {
  if (Pool* pool = ready_pool.load(std::memory_order_acquire)) return *pool;
  std::string failure;
  {
    std::lock_guard lock(creation_mutex);
    if (Pool* pool = ready_pool.load(std::memory_order_acquire)) return *pool;
    if (creation_attempted) {
      failure = kPoolAlreadyFailed;
    } else {
      creation_attempted = true;
      failure = create_pool();
      if (failure.empty()) return *ready_pool.load(std::memory_order_acquire);
    }
  }
  if (!report) resume_panic(kPoolNotInitialized + failure);
  panic(kPoolNotInitialized + failure);
}

}  // namespace

const char* Stopped::what() const noexcept { return "the call was stopped by its stop check"; }

StopCheckScope::StopCheckScope(const StopCheck& check) noexcept : previous_(current_stop_check) {
  current_stop_check = &check;
}

StopCheckScope::~StopCheckScope() { current_stop_check = previous_; }

void run_here(std::uint64_t ranges, TaskBody body) {
  const DefaultFloatEnvironment environment;
  StopPoller poller;
  for (std::uint64_t range = 0; range < ranges; ++range) {
    if (range != 0 && poller.should_stop()) throw Stopped();
    body(0, range);
  }
}

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

std::uint64_t pool_worker_count() { return global_pool().workers; }

std::uint64_t pool_worker_count(bool report) { return global_pool(report).workers; }

void run_on_pool(std::uint64_t ranges, std::uint64_t tasks, TaskBody body) {
  Pool& pool = global_pool();
  if (ranges == 0) return;
  tasks = std::clamp<std::uint64_t>(tasks, 1, std::min(pool.workers, ranges));
  // One task gains nothing from a worker but two thread switches; and a forked
  // child has no workers at all.
  if (tasks == 1 || in_forked_child.load(std::memory_order_relaxed)) {
    run_here(ranges, body);
    return;
  }
  pool.run(ranges, tasks, body);
}

}  // namespace velk

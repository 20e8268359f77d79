// The floor beside every search figure: a plain read of the same bytes on the
// same number of threads, as fast as this machine reads memory. Several
// independent accumulators over the widest loads the processor has, so that
// neither a dependency chain nor the load width holds it back. Built by
// benchmarks/run.py into a shared library and called through ctypes, which
// releases the interpreter lock for the call.
//
//   std::uint64_t velk_plain_read(const void* data, std::size_t bytes, int threads)
//
// returns a checksum of the bytes (so that no compiler drops the read).

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

std::uint64_t read_tail(const unsigned char* data, std::size_t bytes) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < bytes; ++i) sum += data[i];
  return sum;
}

#if defined(__x86_64__)
__attribute__((target("avx512f"))) std::uint64_t read_avx512(const unsigned char* data, std::size_t bytes) {
  constexpr std::size_t kLanes = 8, kStep = 64 * kLanes;
  __m512i sums[kLanes];
  for (__m512i& s : sums) s = _mm512_setzero_si512();
  std::size_t i = 0;
  for (; i + kStep <= bytes; i += kStep) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      sums[lane] = _mm512_add_epi64(sums[lane], _mm512_loadu_si512(data + i + 64 * lane));
    }
  }
  for (std::size_t lane = 1; lane < kLanes; ++lane) sums[0] = _mm512_add_epi64(sums[0], sums[lane]);
  return static_cast<std::uint64_t>(_mm512_reduce_add_epi64(sums[0])) + read_tail(data + i, bytes - i);
}

__attribute__((target("avx2"))) std::uint64_t read_avx2(const unsigned char* data, std::size_t bytes) {
  constexpr std::size_t kLanes = 8, kStep = 32 * kLanes;
  __m256i sums[kLanes];
  for (__m256i& s : sums) s = _mm256_setzero_si256();
  std::size_t i = 0;
  for (; i + kStep <= bytes; i += kStep) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      sums[lane] =
          _mm256_add_epi64(sums[lane], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + 32 * lane)));
    }
  }
  for (std::size_t lane = 1; lane < kLanes; ++lane) sums[0] = _mm256_add_epi64(sums[0], sums[lane]);
  std::uint64_t lanes[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), sums[0]);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3] + read_tail(data + i, bytes - i);
}
#endif

std::uint64_t read_portable(const unsigned char* data, std::size_t bytes) {
  constexpr std::size_t kLanes = 8;
  std::uint64_t sums[kLanes] = {};
  std::size_t i = 0;
  for (; i + 8 * kLanes <= bytes; i += 8 * kLanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      std::uint64_t word;
      std::memcpy(&word, data + i + 8 * lane, sizeof word);
      sums[lane] += word;
    }
  }
  std::uint64_t sum = read_tail(data + i, bytes - i);
  for (std::uint64_t s : sums) sum += s;
  return sum;
}

using Reader = std::uint64_t (*)(const unsigned char*, std::size_t);

Reader fastest_reader() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return read_avx512;
  if (__builtin_cpu_supports("avx2")) return read_avx2;
#endif
  return read_portable;
}

// Workers started once and kept, as a search's worker pool is: a call wakes
// them rather than paying for thread creation each time. Several parts go to
// the workers while the caller waits, as the search's pool does; a part the
// caller read itself would share its processor with a worker just woken there.
class Team {
 public:
  explicit Team(std::size_t workers) {
    for (std::size_t i = 0; i < workers; ++i) members_.emplace_back([this, i] { serve(i); });
  }

  // Runs job(part) for every part in [0, parts): on the calling thread alone
  // for one part, on the workers for more.
  template <typename Job>
  void run(std::size_t parts, const Job& job) {
    if (parts <= 1) {
      job(0);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = job;
      parts_ = parts;
      pending_ = parts;
      ++generation_;
    }
    wake_.notify_all();
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return pending_ == 0; });
  }

  std::size_t size() const { return members_.size(); }

 private:
  void serve(std::size_t part) {
    std::uint64_t seen = 0;
    for (;;) {
      std::function<void(std::size_t)> job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return generation_ != seen; });
        seen = generation_;
        if (part >= parts_) continue;
        job = job_;
      }
      job(part);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--pending_ == 0) done_.notify_one();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::function<void(std::size_t)> job_;
  std::size_t parts_ = 0, pending_ = 0;
  std::uint64_t generation_ = 0;
  std::vector<std::thread> members_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) std::uint64_t velk_plain_read(const void* data, std::size_t bytes,
                                                                                int threads) {
  static const Reader reader = fastest_reader();
  // Never joined: the process ends with them waiting.
  static Team* const team = new Team(std::max(1U, std::thread::hardware_concurrency()));
  const auto* start = static_cast<const unsigned char*>(data);
  const std::size_t parts = std::min<std::size_t>(threads > 1 ? static_cast<std::size_t>(threads) : 1, team->size());
  // Each thread one contiguous share, cut at cache-line boundaries.
  std::vector<std::uint64_t> sums(parts, 0);
  const auto bound = [&](std::size_t part) { return part == parts ? bytes : (bytes / parts) / 64 * 64 * part; };
  team->run(parts, [&](std::size_t part) { sums[part] = reader(start + bound(part), bound(part + 1) - bound(part)); });
  std::uint64_t total = 0;
  for (std::uint64_t s : sums) total += s;
  return total;
}

// The floor beside every search figure: a plain read of the same bytes on the
// same number of threads, as fast as this machine reads memory. Independent
// accumulators over the widest loads the processor has, so that neither a
// dependency chain nor the load width holds it back; and, since one
// sequential stream per thread does not reach a core's full bandwidth on
// every processor (the hardware prefetchers of some follow several streams
// faster than one), each thread's share read as 1, 2, 4 or 8 streams side by
// side, a cache line from each in turn, whichever is fastest for that size
// and thread count on this machine: the first call for a size and thread
// count times every pattern and keeps the fastest. Built by
// benchmarks/run.py into a shared library and called through ctypes, which
// releases the interpreter lock for the call; linked into kernel_check for its
// read and search modes.
//
//   std::uint64_t velk_plain_read(const void* data, std::size_t bytes, int threads)
//
// returns a checksum of the bytes (so that no compiler drops the read).

#include <algorithm>
#include <array>
#include <chrono>
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

constexpr std::size_t kLine = 64;

// Each reader sums `Streams` stretches of share = bytes / Streams (cut at
// cache lines) side by side, one line of each in turn, then the tail bytes.
#if defined(__x86_64__)
template <std::size_t Streams>
__attribute__((target("avx512f"))) std::uint64_t read_avx512(const unsigned char* data, std::size_t bytes) {
  const std::size_t share = bytes / Streams / kLine * kLine;
  __m512i sums[Streams];
  for (__m512i& s : sums) s = _mm512_setzero_si512();
  for (std::size_t i = 0; i < share; i += kLine) {
    for (std::size_t s = 0; s < Streams; ++s)
      sums[s] = _mm512_add_epi64(sums[s], _mm512_loadu_si512(data + s * share + i));
  }
  for (std::size_t s = 1; s < Streams; ++s) sums[0] = _mm512_add_epi64(sums[0], sums[s]);
  std::uint64_t lanes[8];
  _mm512_storeu_si512(lanes, sums[0]);
  std::uint64_t total = read_tail(data + Streams * share, bytes - Streams * share);
  for (std::uint64_t lane : lanes) total += lane;
  return total;
}

template <std::size_t Streams>
__attribute__((target("avx2"))) std::uint64_t read_avx2(const unsigned char* data, std::size_t bytes) {
  const std::size_t share = bytes / Streams / kLine * kLine;
  __m256i sums[Streams][2];
  for (auto& s : sums) s[0] = s[1] = _mm256_setzero_si256();
  for (std::size_t i = 0; i < share; i += kLine) {
    for (std::size_t s = 0; s < Streams; ++s) {
      const unsigned char* line = data + s * share + i;
      sums[s][0] = _mm256_add_epi64(sums[s][0], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line)));
      sums[s][1] = _mm256_add_epi64(sums[s][1], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(line + 32)));
    }
  }
  __m256i total = _mm256_setzero_si256();
  for (auto& s : sums) total = _mm256_add_epi64(total, _mm256_add_epi64(s[0], s[1]));
  std::uint64_t lanes[4];
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(lanes), total);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3] + read_tail(data + Streams * share, bytes - Streams * share);
}
#endif

template <std::size_t Streams>
std::uint64_t read_portable(const unsigned char* data, std::size_t bytes) {
  constexpr std::size_t kWords = kLine / 8;
  const std::size_t share = bytes / Streams / kLine * kLine;
  std::uint64_t sums[Streams][kWords] = {};
  for (std::size_t i = 0; i < share; i += kLine) {
    for (std::size_t s = 0; s < Streams; ++s) {
      for (std::size_t w = 0; w < kWords; ++w) {
        std::uint64_t word;
        std::memcpy(&word, data + s * share + i + 8 * w, sizeof word);
        sums[s][w] += word;
      }
    }
  }
  std::uint64_t sum = read_tail(data + Streams * share, bytes - Streams * share);
  for (const auto& s : sums) {
    for (std::uint64_t w : s) sum += w;
  }
  return sum;
}

using Reader = std::uint64_t (*)(const unsigned char*, std::size_t);
constexpr std::size_t kPatterns = 4;
using Patterns = std::array<Reader, kPatterns>;

// The read patterns (1, 2, 4 and 8 streams) over the widest loads here.
Patterns widest_readers() {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return {read_avx512<1>, read_avx512<2>, read_avx512<4>, read_avx512<8>};
  if (__builtin_cpu_supports("avx2")) return {read_avx2<1>, read_avx2<2>, read_avx2<4>, read_avx2<8>};
#endif
  return {read_portable<1>, read_portable<2>, read_portable<4>, read_portable<8>};
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

// The pattern kept for each size and thread count, once timed.
struct Choice {
  std::size_t bytes;
  std::size_t parts;
  std::size_t pattern;
};

std::mutex choices_mutex;
std::vector<Choice> choices;

}  // namespace

extern "C" __attribute__((visibility("default"))) std::uint64_t velk_plain_read(const void* data, std::size_t bytes,
                                                                                int threads) {
  static const Patterns patterns = widest_readers();
  // Never joined: the process ends with them waiting.
  static Team* const team = new Team(std::max(1U, std::thread::hardware_concurrency()));
  const auto* start = static_cast<const unsigned char*>(data);
  const std::size_t parts = std::min<std::size_t>(threads > 1 ? static_cast<std::size_t>(threads) : 1, team->size());
  // Each thread one contiguous share, cut at cache-line boundaries.
  std::vector<std::uint64_t> sums(parts, 0);
  const auto bound = [&](std::size_t part) { return part == parts ? bytes : (bytes / parts) / kLine * kLine * part; };
  const auto read = [&](Reader reader) {
    team->run(parts,
              [&](std::size_t part) { sums[part] = reader(start + bound(part), bound(part + 1) - bound(part)); });
    std::uint64_t total = 0;
    for (std::uint64_t s : sums) total += s;
    return total;
  };
  std::lock_guard<std::mutex> lock(choices_mutex);
  for (const Choice& choice : choices) {
    if (choice.bytes == bytes && choice.parts == parts) return read(patterns[choice.pattern]);
  }
  // First call for this size: the best of three reads of every pattern.
  std::size_t fastest = 0;
  double fastest_seconds = 1e300;
  std::uint64_t total = 0;
  for (std::size_t pattern = 0; pattern < kPatterns; ++pattern) {
    for (int round = 0; round < 3; ++round) {
      const auto begin = std::chrono::steady_clock::now();
      total = read(patterns[pattern]);
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
      if (seconds < fastest_seconds) {
        fastest_seconds = seconds;
        fastest = pattern;
      }
    }
  }
  choices.push_back({bytes, parts, fastest});
  return total;
}

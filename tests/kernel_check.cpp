// Compares every row-scoring variant the processor can run with the scalar
// reference, bit for bit, on random data full of awkward values. Built and run
// by test_dispatch.py; also usable by hand:
//   kernel_check                 run the comparison, print one line per variant
//   kernel_check bench ROWS DIM [STORAGE]  time each variant on one thread
//   kernel_check threads ROWS DIM [STORAGE]  time the chosen variant on 1 and
//                                  2 plain threads, each always scoring the
//                                  same half
//   kernel_check read ROWS DIM [STORAGE]  time a plain read of the bytes of such
//                                  an array on 1 and 2 threads: the floor for
//                                  any scorer
//   kernel_check search ROWS DIM QUERIES THREADS [ROUNDS]  time the search
//                                  of every storage type and the plain read of
//                                  its bytes, alternating, in one process, and
//                                  print the ratios between them
//   (STORAGE: float32, the default, float16, bfloat16, int8 or uint8)
//   kernel_check hash ROWS DIM SEED  score fixed-seed rows with the widest
//                                  variant and print a hash of the score bits,
//                                  which must be the same on every processor
//   kernel_check environment       score with flush-to-zero and a directed
//                                  rounding mode set on the thread: the scoring
//                                  scope must still give the default bits
#include <algorithm>
#include <barrier>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "similarity/cosine.h"
#include "similarity/float_environment.h"
#include "similarity/row_scoring.h"
#include "similarity/search.h"
#include "similarity/simd_level.h"
#include "similarity/storage.h"
#include "stored_values.h"

// benchmarks/plain_read.cpp, linked in.
extern "C" std::uint64_t velk_plain_read(const void* data, std::size_t bytes, int threads);

namespace {

using velk::FlatScoringContext;
using velk::ScoredHit;
using velk::SimdLevel;

std::uint32_t bits(float x) {
  std::uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

float from_bits(std::uint32_t b) {
  float x;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

class Values {
 public:
  explicit Values(std::uint64_t seed) : rng_(seed) {}

  std::uint64_t below(std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng_); }

  // Mostly ordinary numbers of mixed signs and magnitudes, with a share of
  // zeros of both signs, subnormals, values whose squares overflow or
  // underflow, infinities and NaNs of both signs with payloads.
  float awkward(unsigned weirdness) {
    if (below(1000) >= weirdness) return ordinary();
    switch (below(9)) {
      case 0:
        return below(2) ? 0.0f : -0.0f;
      case 1:
        return from_bits(static_cast<std::uint32_t>(1 + below(0x007FFFFF)) | sign());
      case 2:
        return from_bits(0x7F800000u | sign());
      case 3:  // NaN: quiet or signalling, any payload
        return from_bits(0x7F800000u | static_cast<std::uint32_t>(1 + below(0x007FFFFF)) | sign());
      case 4:
        return std::uniform_real_distribution<float>(1e19f, 3e38f)(rng_) * (below(2) ? 1.0f : -1.0f);
      case 5:
        return std::uniform_real_distribution<float>(1e-30f, 1e-20f)(rng_) * (below(2) ? 1.0f : -1.0f);
      case 6:
        return std::numeric_limits<float>::max();
      case 7:
        return std::numeric_limits<float>::min();
      default:
        return 1e8f;
    }
  }

  float ordinary() {
    const float scale = std::ldexp(1.0f, static_cast<int>(below(21)) - 10);
    return std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng_) * scale;
  }

 private:
  std::uint32_t sign() { return below(2) ? 0x80000000u : 0u; }
  std::mt19937_64 rng_;
};

struct Case {
  std::vector<float> embeddings;
  std::vector<float> query;
  std::uint64_t dim;
  std::uint64_t rows;
};

Case make_case(Values& values, std::uint64_t dim, std::uint64_t query_length, std::uint64_t rows, unsigned weirdness) {
  Case c{std::vector<float>(rows * dim + values.below(dim + 1)), std::vector<float>(query_length), dim, rows};
  for (float& x : c.query) x = values.awkward(weirdness / 4);
  for (float& x : c.embeddings) x = values.awkward(weirdness);
  // Whole rows of zeros, and rows with a single NaN, infinity or subnormal.
  for (std::uint64_t r = 0; r < rows; ++r) {
    float* row = c.embeddings.data() + r * dim;
    switch (values.below(12)) {
      case 0:
        std::fill(row, row + dim, values.below(2) ? 0.0f : -0.0f);
        break;
      case 1:
        row[values.below(dim)] = std::numeric_limits<float>::quiet_NaN();
        break;
      case 2:
        row[values.below(dim)] = values.below(2) ? INFINITY : -INFINITY;
        break;
      case 3:
        for (std::uint64_t j = 0; j < dim; ++j) row[j] = from_bits(static_cast<std::uint32_t>(1 + values.below(64)));
        break;
      default:
        break;
    }
  }
  return c;
}

// Scores rows [begin, end) at `level` into a buffer with guard entries on
// both sides, and checks that the guards are untouched.
bool score(SimdLevel level, const FlatScoringContext& context, std::uint64_t begin, std::uint64_t end,
           std::vector<ScoredHit>& out) {
  constexpr ScoredHit kGuard{0xDEADBEEFu, 12345.0f};
  std::vector<ScoredHit> buffer(end - begin + 2, kGuard);
  velk::score_rows_with(level, context, begin, end, buffer.data() + 1);
  const bool guards_intact = buffer.front().index == kGuard.index && buffer.back().index == kGuard.index &&
                             bits(buffer.front().score) == bits(kGuard.score) &&
                             bits(buffer.back().score) == bits(kGuard.score);
  out.assign(buffer.begin() + 1, buffer.end() - 1);
  return guards_intact;
}

// A float32 case as a stored collection of its own values.
stored::Stored as_stored(const Case& c) {
  stored::Stored s{velk::Storage::float32, c.dim, c.rows,
                   std::vector<unsigned char>(c.embeddings.size() * sizeof(float)), c.embeddings};
  std::memcpy(s.bytes.data(), c.embeddings.data(), s.bytes.size());
  return s;
}

// Rows of a compact type: awkward stored values, whole zero rows and rows of
// the type's extreme value.
stored::Stored make_compact(Values& values, velk::Storage storage, std::uint64_t dim, std::uint64_t rows,
                            unsigned weirdness) {
  const auto below = [&values](std::uint64_t n) { return values.below(n); };
  stored::Stored s = stored::make_stored(storage, rows, dim, values.below(dim + 1),
                                         [&] { return stored::compact_bits(storage, weirdness, below); });
  for (std::uint64_t r = 0; r < rows; ++r) {
    const std::uint64_t pick = values.below(10);
    if (pick < 2) stored::fill_row(s, r, pick == 1);
  }
  return s;
}

// Every level, the scalar one included for the compact types, against the
// scalar reference scoring each collection's float32 copy.
int compare_all(std::uint64_t seed) {
  Values values(seed);
  std::vector<std::uint64_t> dims;
  for (std::uint64_t d = 1; d <= 40; ++d) dims.push_back(d);
  // Past 1024 columns an int8 row's squares can reach 2^24, past 258 a uint8
  // row's; random int8 rows pass it at about 3000.
  for (std::uint64_t d : {63, 64, 65, 127, 128, 129, 383, 384, 385, 767, 768, 769, 1025, 1089, 4100}) dims.push_back(d);

  int failures = 0;
  for (const velk::Storage storage : velk::kStorages) {
    const char* storage_name = velk::storage_name(storage);
    for (const SimdLevel level : velk::kSimdLevels) {
      if (level == SimdLevel::scalar && storage == velk::Storage::float32) continue;
      if (!velk::simd_level_supported(level)) {
        std::printf("skipped %s %s\n", velk::simd_level_name(level), storage_name);
        continue;
      }
      std::uint64_t scored = 0;
      std::uint64_t nan_scores = 0;
      for (const std::uint64_t dim : dims) {
        const std::uint64_t rounds = dim > 100 ? 6 : 24;
        for (std::uint64_t round = 0; round < rounds; ++round) {
          // Queries shorter than, equal to and longer than the rows.
          const std::uint64_t lengths[] = {dim, 1 + values.below(dim), dim + 1 + values.below(20), 1};
          const std::uint64_t query_length = lengths[round % 4];
          const std::uint64_t rows = 1 + values.below(dim > 100 ? 40 : 70);
          const unsigned weirdness = round % 3 == 0 ? 0 : (round % 3 == 1 ? 20 : 300);
          Case c = make_case(values, dim, query_length, rows, weirdness);
          const stored::Stored s =
              storage == velk::Storage::float32 ? as_stored(c) : make_compact(values, storage, dim, rows, weirdness);
          // Now and then a query of tiny values, many subnormal, whose
          // products a scorer may not take through a scaled copy.
          if (round % 6 == 1) {
            for (float& q : c.query) q = std::ldexp(q, -110);
          }
          // A NaN query now and then: every row with a positive norm scores NaN.
          if (round % 5 == 4) c.query[values.below(query_length)] = NAN;
          const float squared = velk::squared_norm(c.query);
          // The callers only score with a positive, infinite or NaN norm, but
          // every norm must give the reference bits.
          const float norms[] = {velk::norm_from_squared(squared), values.ordinary() + 2.0f, INFINITY};
          const FlatScoringContext copy{s.copy_collection(), c.query, norms[round % 3]};
          const FlatScoringContext context{s.collection(), c.query, norms[round % 3]};
          // A range that starts and ends anywhere, as the pool cuts them.
          const std::uint64_t begin = values.below(rows);
          const std::uint64_t end = begin + 1 + values.below(rows - begin);
          std::vector<ScoredHit> expected, actual;
          score(SimdLevel::scalar, copy, begin, end, expected);
          if (!score(level, context, begin, end, actual)) {
            std::printf("FAIL %s %s wrote outside its range: dim %llu rows [%llu, %llu)\n",
                        velk::simd_level_name(level), storage_name, (unsigned long long)dim, (unsigned long long)begin,
                        (unsigned long long)end);
            ++failures;
          }
          for (std::uint64_t i = 0; i < expected.size(); ++i) {
            ++scored;
            if (expected[i].score != expected[i].score) ++nan_scores;
            if (actual[i].index != expected[i].index || bits(actual[i].score) != bits(expected[i].score)) {
              if (++failures <= 20) {
                std::printf("FAIL %s %s dim %llu query %llu row %llu: index %llu score %08x, expected %llu %08x\n",
                            velk::simd_level_name(level), storage_name, (unsigned long long)dim,
                            (unsigned long long)query_length, (unsigned long long)(begin + i),
                            (unsigned long long)actual[i].index, bits(actual[i].score),
                            (unsigned long long)expected[i].index, bits(expected[i].score));
              }
            }
          }
        }
      }
      std::printf("checked %s %s: %llu rows, %llu NaN scores\n", velk::simd_level_name(level), storage_name,
                  (unsigned long long)scored, (unsigned long long)nan_scores);
    }
  }
  return failures == 0 ? 0 : 1;
}

// Ordinary rows held as `storage`, for timing: values that are ordinary
// numbers whichever way the 16-bit patterns are read (float16 or bfloat16),
// and any bytes for the 8-bit types.
stored::Stored timing_rows(velk::Storage storage, std::uint64_t rows, std::uint64_t dim) {
  Values values(7);
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  const auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  stored::Stored s{storage, dim, rows, std::vector<unsigned char>(rows * dim * velk::storage_bytes(storage)), {}};
  if (storage == velk::Storage::float32) {
    std::vector<float> floats(rows * dim);
    for (float& x : floats) x = values.ordinary();
    std::memcpy(s.bytes.data(), floats.data(), s.bytes.size());
  } else if (velk::storage_bytes(storage) == 2) {
    for (std::uint64_t i = 0; i < rows * dim; ++i) {
      const std::uint64_t r = next();
      const auto bits = static_cast<std::uint16_t>(0x3800u + (r & 0xBFFu) + ((r >> 12) & 1u) * 0x8000u);
      std::memcpy(s.bytes.data() + 2 * i, &bits, 2);
    }
  } else {
    for (unsigned char& b : s.bytes) b = static_cast<unsigned char>(next());
  }
  return s;
}

std::vector<float> timing_query(std::uint64_t dim) {
  Values values(8);
  std::vector<float> query(dim);
  for (float& x : query) x = values.ordinary();
  return query;
}

int bench(std::uint64_t rows, std::uint64_t dim, velk::Storage storage) {
  const stored::Stored s = timing_rows(storage, rows, dim);
  const std::vector<float> query = timing_query(dim);
  const FlatScoringContext context{s.collection(), query, velk::norm_from_squared(velk::squared_norm(query))};
  std::vector<ScoredHit> out(rows);
  for (const SimdLevel level : velk::kSimdLevels) {
    if (!velk::simd_level_supported(level)) continue;
    double best = 1e30;
    for (int repeat = 0; repeat < 7; ++repeat) {
      const auto start = std::chrono::steady_clock::now();
      velk::score_rows_with(level, context, 0, rows, out.data());
      const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
      best = std::min(best, elapsed.count());
    }
    std::printf("%-7s %-8s %10.3f ms  %6.2f GB/s\n", velk::simd_level_name(level), velk::storage_name(storage),
                best * 1e3, static_cast<double>(s.bytes.size()) / best / 1e9);
  }
  return 0;
}

// What the scorer itself allows on several cores, without a pool: each thread
// scores its fixed share of the rows, then all meet at a barrier.
int threads(std::uint64_t rows, std::uint64_t dim, velk::Storage storage) {
  const stored::Stored s = timing_rows(storage, rows, dim);
  const std::vector<float> query = timing_query(dim);
  const FlatScoringContext context{s.collection(), query, velk::norm_from_squared(velk::squared_norm(query))};
  std::vector<ScoredHit> out(rows);
  constexpr int kRounds = 2000;
  for (unsigned count = 1; count <= 2; ++count) {
    std::barrier meet(count);
    std::vector<double> seconds(kRounds);
    std::vector<std::thread> team;
    for (unsigned t = 0; t < count; ++t) {
      team.emplace_back([&, t] {
        const std::uint64_t begin = rows * t / count, end = rows * (t + 1) / count;
        for (int round = 0; round < kRounds; ++round) {
          const auto start = std::chrono::steady_clock::now();
          velk::score_rows(context, begin, end, out.data() + begin);
          meet.arrive_and_wait();
          if (t == 0) seconds[round] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
      });
    }
    for (std::thread& member : team) member.join();
    std::sort(seconds.begin(), seconds.end());
    std::printf("%s %s, %u thread(s): median %8.1f us per pass over %llu x %llu\n",
                velk::simd_level_name(velk::active_simd_level()), velk::storage_name(storage), count,
                seconds[kRounds / 2] * 1e6, (unsigned long long)rows, (unsigned long long)dim);
  }
  return 0;
}

// Seconds of one plain read of `count` floats on `threads` threads, each
// reading its own share, by the benchmarks' floor (benchmarks/plain_read.cpp):
// the first read of a size picks the fastest way to read it.
double timed_read(const std::vector<float>& data, unsigned threads) {
  static volatile std::uint64_t sink = 0;
  const auto start = std::chrono::steady_clock::now();
  sink = sink + velk_plain_read(data.data(), data.size() * sizeof(float), static_cast<int>(threads));
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The plain read of as many bytes as rows x dim values of `storage` take.
int read(std::uint64_t rows, std::uint64_t dim, velk::Storage storage) {
  const std::vector<float> embeddings(rows * dim * velk::storage_bytes(storage) / sizeof(float), 1.0f);
  constexpr int kRounds = 7;
  for (unsigned count = 1; count <= 2; ++count) {
    std::vector<double> seconds;
    for (int round = 0; round < kRounds; ++round) seconds.push_back(timed_read(embeddings, count));
    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[kRounds / 2];
    std::printf("plain read, %u thread(s): median %10.3f ms  %6.2f GB/s over %llu x %llu %s\n", count, median * 1e3,
                static_cast<double>(embeddings.size() * sizeof(float)) / median / 1e9, (unsigned long long)rows,
                (unsigned long long)dim, velk::storage_name(storage));
  }
  return 0;
}

// In one process, runs alternating: the multi-query search of `queries`
// queries (k = 10, at most `threads` tasks) over rows x dim rows of every
// storage type, and the plain read of each type's bytes on as many threads.
// Prints the median of each and the ratios the storage types are held to.
int search(std::uint64_t rows, std::uint64_t dim, std::uint64_t queries, unsigned threads, int rounds) {
  std::vector<stored::Stored> collections;
  for (const velk::Storage storage : velk::kStorages) collections.push_back(timing_rows(storage, rows, dim));
  // The reads of 4-, 2- and 1-byte values' bytes.
  const std::vector<float> reads[3] = {std::vector<float>(rows * dim, 1.0f), std::vector<float>(rows * dim / 2, 1.0f),
                                       std::vector<float>(rows * dim / 4, 1.0f)};
  Values values(9);
  std::vector<float> query_rows(queries * dim);
  for (float& x : query_rows) x = values.ordinary();
  std::vector<float> scores(queries * 10);
  std::vector<std::int64_t> indices(queries * 10);
  std::vector<double> search_seconds[velk::kStorageCount], read_seconds[3];
  for (int round = 0; round < rounds; ++round) {
    for (int r = 0; r < 3; ++r) read_seconds[r].push_back(timed_read(reads[r], threads));
    for (std::size_t i = 0; i < collections.size(); ++i) {
      const auto start = std::chrono::steady_clock::now();
      velk::search_queries({query_rows, collections[i].collection(), 10, threads, {}}, {scores.data(), indices.data()});
      search_seconds[i].push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
  }
  const auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  const double float32 = median(search_seconds[0]);
  std::printf("%s, %llu x %llu, %llu queries, %u thread(s), medians of %d alternating rounds:\n",
              velk::simd_level_name(velk::active_simd_level()), (unsigned long long)rows, (unsigned long long)dim,
              (unsigned long long)queries, threads, rounds);
  for (std::size_t i = 0; i < collections.size(); ++i) {
    const velk::Storage storage = velk::kStorages[i];
    const int width = velk::storage_bytes(storage) == 4 ? 0 : (velk::storage_bytes(storage) == 2 ? 1 : 2);
    const double mine = median(search_seconds[i]);
    const double floor = median(read_seconds[width]);
    std::printf("  %-8s search %9.3f ms  read %9.3f ms  search/read %5.2f  float32/this %5.2f\n",
                velk::storage_name(storage), mine * 1e3, floor * 1e3, mine / floor, float32 / mine);
  }
  return 0;
}

// Values made from integer arithmetic alone, so that every processor and every
// standard library builds the same data from the same seed.
class PortableValues {
 public:
  explicit PortableValues(std::uint64_t seed) : state_(seed) {}

  std::uint64_t next() {  // splitmix64
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }

  // Mostly numbers between about 2^-27 and 2^13 of either sign; one in 256 is a
  // signed zero, a subnormal, an infinity, a NaN with a payload, or a value
  // whose square overflows.
  float value(bool awkward) {
    const std::uint64_t r = next();
    const std::uint32_t sign = static_cast<std::uint32_t>(r >> 63) << 31;
    const std::uint32_t mantissa = static_cast<std::uint32_t>(r) & 0x007FFFFFu;
    if (awkward && (r >> 32) % 256 == 0) {
      switch ((r >> 40) % 5) {
        case 0:
          return from_bits(sign);
        case 1:
          return from_bits(sign | (mantissa | 1u));
        case 2:
          return from_bits(sign | 0x7F800000u);
        case 3:
          return from_bits(sign | 0x7F800000u | (mantissa | 1u));
        default:
          return from_bits(sign | (250u << 23) | mantissa);
      }
    }
    const std::uint32_t exponent = 100 + static_cast<std::uint32_t>((r >> 32) % 40);
    return from_bits(sign | (exponent << 23) | mantissa);
  }

 private:
  std::uint64_t state_;
};

int hash(std::uint64_t rows, std::uint64_t dim, std::uint64_t seed, velk::Storage storage) {
  PortableValues values(seed);
  std::vector<float> embeddings(rows * dim), query(dim);
  for (float& x : query) x = values.value(false);
  for (float& x : embeddings) x = values.value(true);
  // Some whole rows of zeros, which score +0.0 by the zero-norm guard.
  for (std::uint64_t r = 0; r < rows; ++r) {
    if (values.next() % 16 == 0) std::fill(embeddings.begin() + r * dim, embeddings.begin() + (r + 1) * dim, 0.0f);
  }
  stored::Stored compact;
  velk::Collection collection = velk::float32_collection(embeddings.data(), embeddings.size(), dim);
  if (storage != velk::Storage::float32) {
    // Stored values with a few of the type's edges, and some zero rows.
    const auto below = [&values](std::uint64_t n) { return values.next() % n; };
    compact = stored::make_stored(storage, rows, dim, 0, [&] { return stored::compact_bits(storage, 4, below); });
    for (std::uint64_t r = 0; r < rows; ++r) {
      if (values.next() % 16 == 0) stored::fill_row(compact, r, false);
    }
    collection = compact.collection();
  }
  const FlatScoringContext context{collection, query, velk::norm_from_squared(velk::squared_norm(query))};
  std::vector<ScoredHit> out(rows);
  velk::score_rows(context, 0, rows, out.data());
  std::uint64_t h = 0xCBF29CE484222325u;  // FNV-1a over each row's index and score bits
  const auto mix = [&h](std::uint64_t word, int bytes) {
    for (int i = 0; i < bytes; ++i) h = (h ^ ((word >> (8 * i)) & 0xFF)) * 0x100000001B3u;
  };
  std::uint64_t nan_scores = 0;
  for (const ScoredHit& hit : out) {
    mix(hit.index, 8);
    mix(bits(hit.score), 4);
    if (hit.score != hit.score) ++nan_scores;
  }
  std::printf("%016llx %s %s %llu x %llu seed %llu, %llu NaN scores\n", (unsigned long long)h,
              velk::simd_level_name(velk::active_simd_level()), velk::storage_name(storage), (unsigned long long)rows,
              (unsigned long long)dim, (unsigned long long)seed, (unsigned long long)nan_scores);
  return 0;
}

// The thread's floating-point control register, and what another library might
// leave in it: flush-to-zero (with denormals-are-zero on x86), rounding toward
// zero, and on ARM the default-NaN mode.
#if defined(__x86_64__)
using Control = unsigned;
Control read_control() { return _mm_getcsr(); }
void write_control(Control value) { _mm_setcsr(value); }
constexpr Control kHostile = 0x8000u | 0x0040u | 0x6000u;
#elif defined(__aarch64__)
using Control = std::uint64_t;
Control read_control() {
  Control value;
  __asm__ __volatile__("mrs %0, fpcr" : "=r"(value) : : "memory");
  return value;
}
void write_control(Control value) { __asm__ __volatile__("msr fpcr, %0" : : "r"(value) : "memory"); }
constexpr Control kHostile = (1u << 24) | (3u << 22) | (1u << 25);
#endif

#if defined(__x86_64__) || defined(__aarch64__)
int environment() {
  // Rows of ordinary numbers, whose sums round differently toward zero, and
  // rows of tiny ones, whose squares are subnormal and flush to zero.
  Values values(11);
  constexpr std::uint64_t kRows = 67, kDim = 37;
  std::vector<float> embeddings(kRows * kDim), query(kDim);
  for (float& x : query) x = values.ordinary();
  for (std::uint64_t r = 0; r < kRows; ++r) {
    const float scale = r % 2 ? 1e-21f : 1.0f;
    for (std::uint64_t j = 0; j < kDim; ++j) embeddings[r * kDim + j] = values.ordinary() * scale;
  }
  const FlatScoringContext context{velk::float32_collection(embeddings.data(), embeddings.size(), kDim), query,
                                   velk::norm_from_squared(velk::squared_norm(query))};
  const auto same = [](const std::vector<ScoredHit>& a, const std::vector<ScoredHit>& b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (a[i].index != b[i].index || bits(a[i].score) != bits(b[i].score)) return false;
    }
    return true;
  };

  std::vector<ScoredHit> expected(kRows);
  velk::score_rows_with(SimdLevel::scalar, context, 0, kRows, expected.data());
  const Control original = read_control();
  write_control(original | kHostile);
  const Control hostile = read_control();
  int failures = 0;
  // Without the scope the settings must change scores, or this proves nothing.
  std::vector<ScoredHit> unguarded(kRows);
  velk::score_rows_with(SimdLevel::scalar, context, 0, kRows, unguarded.data());
  if (same(unguarded, expected)) {
    std::printf("FAIL the hostile settings changed no score, so they were not applied\n");
    ++failures;
  }
  int levels = 0;
  for (const SimdLevel level : velk::kSimdLevels) {
    if (!velk::simd_level_supported(level)) continue;
    std::vector<ScoredHit> actual(kRows);
    {
      const velk::DefaultFloatEnvironment scope;
      velk::score_rows_with(level, context, 0, kRows, actual.data());
    }
    ++levels;
    if (!same(actual, expected)) {
      std::printf("FAIL %s inside the scope differs from the default environment\n", velk::simd_level_name(level));
      ++failures;
    }
    if (read_control() != hostile) {
      std::printf("FAIL the scope left control %llx, not %llx\n", (unsigned long long)read_control(),
                  (unsigned long long)hostile);
      ++failures;
    }
  }
  write_control(original);
  std::printf("environment: %d levels checked with control %llx, %d failures\n", levels, (unsigned long long)hostile,
              failures);
  return failures == 0 ? 0 : 1;
}
#endif

int usage() {
  std::fprintf(stderr, "storage types: float32 float16 bfloat16 int8 uint8\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if ((argc == 4 || argc == 5) && (mode == "bench" || mode == "read" || mode == "threads")) {
    const std::optional<velk::Storage> storage = stored::storage_named(argc == 5 ? argv[4] : "float32");
    if (!storage) return usage();
    const std::uint64_t rows = std::strtoull(argv[2], nullptr, 10), dim = std::strtoull(argv[3], nullptr, 10);
    if (mode == "bench") return bench(rows, dim, *storage);
    if (mode == "read") return read(rows, dim, *storage);
    return threads(rows, dim, *storage);
  }
  if ((argc == 6 || argc == 7) && mode == "search") {
    return search(std::strtoull(argv[2], nullptr, 10), std::strtoull(argv[3], nullptr, 10),
                  std::strtoull(argv[4], nullptr, 10), static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10)),
                  argc == 7 ? std::atoi(argv[6]) : 9);
  }
  if ((argc == 5 || argc == 6) && std::string(argv[1]) == "hash") {
    const std::optional<velk::Storage> storage = stored::storage_named(argc == 6 ? argv[5] : "float32");
    if (!storage) return usage();
    return hash(std::strtoull(argv[2], nullptr, 10), std::strtoull(argv[3], nullptr, 10),
                std::strtoull(argv[4], nullptr, 10), *storage);
  }
#if defined(__x86_64__) || defined(__aarch64__)
  if (argc == 2 && std::string(argv[1]) == "environment") return environment();
#endif
  return compare_all(argc == 2 ? std::strtoull(argv[1], nullptr, 10) : 20261208);
}

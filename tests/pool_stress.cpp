// Drives the worker pool and flat scoring from several threads at once, with
// no interpreter around. Built with -fsanitize=thread by test_pool_sanitizer.py,
// where any data race or lock-order report fails the run; it also checks its
// own results and exits non-zero on a wrong one.
//
//   pool_stress [ROUNDS]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "similarity/cosine.h"
#include "similarity/panic.h"
#include "similarity/ranking.h"
#include "similarity/search.h"
#include "similarity/worker_pool.h"

namespace {

std::atomic<int> failures{0};

void fail(const std::string& what) {
  if (failures.fetch_add(1) < 20) std::fprintf(stderr, "FAIL %s\n", what.c_str());
}

std::uint32_t bits(float x) {
  std::uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

template <class Body>
void on_threads(int count, Body body) {
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) threads.emplace_back(body, t);
  for (std::thread& thread : threads) thread.join();
}

// Every range of every call runs exactly once, and the calls of one task never
// overlap, also when many callers submit tiny calls at the same time.
void tiny_calls_from_many_threads(int rounds) {
  on_threads(4, [rounds](int caller) {
    for (int round = 0; round < rounds; ++round) {
      const std::uint64_t ranges = 1 + static_cast<std::uint64_t>(round + caller) % 7;
      const std::uint64_t tasks = 1 + static_cast<std::uint64_t>(round) % 3;
      std::vector<std::atomic<int>> runs(ranges);
      std::vector<std::atomic<bool>> busy(tasks);
      velk::run_on_pool(ranges, tasks, [&](std::uint64_t task, std::uint64_t range) {
        if (task >= tasks || range >= ranges) {
          fail("task or range out of bounds");
          return;
        }
        if (busy[task].exchange(true)) fail("two calls of one task overlapped");
        runs[range].fetch_add(1);
        busy[task].store(false);
      });
      for (std::uint64_t r = 0; r < ranges; ++r) {
        if (runs[r].load() != 1)
          fail("range " + std::to_string(r) + " ran " + std::to_string(runs[r].load()) + " times");
      }
    }
  });
}

// A failing range fails its own call only, with its own error; the other
// callers, failing or not, are unaffected, and the pool goes on working.
void failures_reach_their_own_caller(int rounds) {
  on_threads(4, [rounds](int caller) {
    for (int round = 0; round < rounds; ++round) {
      const bool should_fail = (caller + round) % 2 == 0;
      const std::uint64_t bad_range = static_cast<std::uint64_t>(round) % 16;
      const std::string message = "caller " + std::to_string(caller) + " round " + std::to_string(round);
      std::atomic<int> ran{0};
      try {
        velk::run_on_pool(16, 4, [&](std::uint64_t, std::uint64_t range) {
          ran.fetch_add(1);
          if (should_fail && range == bad_range) throw std::runtime_error(message);
        });
        if (should_fail) fail("a failing call returned normally");
        if (ran.load() != 16) fail("a call that did not fail skipped ranges");
      } catch (const std::runtime_error& error) {
        if (!should_fail || error.what() != message) fail(std::string("wrong failure: ") + error.what());
      }
    }
  });
  // A panic raised on a worker reaches the caller as the same panic.
  try {
    velk::run_on_pool(8, 2, [](std::uint64_t, std::uint64_t range) {
      if (range == 5) velk::panic("a panic inside a range");
    });
    fail("a panicking call returned normally");
  } catch (const velk::Panic& panic) {
    if (panic.message() != "a panic inside a range") fail("wrong panic: " + panic.message());
  }
}

// A stop check that asks to stop ends its own call with Stopped, on the pool
// and on the calling thread (one task): every range runs at most once, the
// ranges after the stop are skipped, and other callers and later calls run
// every range.
void stopped_calls_end_early(int rounds) {
  using namespace std::chrono_literals;
  on_threads(4, [rounds](int caller) {
    for (int round = 0; round < rounds; ++round) {
      const bool stop = (caller + round) % 2 == 0;
      const std::uint64_t tasks = 1 + static_cast<std::uint64_t>(round) % 3;
      constexpr std::uint64_t kRanges = 60;
      std::vector<std::atomic<int>> runs(kRanges);
      std::atomic<bool> asked{false};
      int checks = 0;  // on the calling thread only
      const auto check = [&] {
        ++checks;
        return stop && asked.load();
      };
      const velk::StopCheck stop_check(check);
      const velk::StopCheckScope scope(stop_check);
      bool stopped = false;
      try {
        velk::run_on_pool(kRanges, tasks, [&](std::uint64_t, std::uint64_t range) {
          runs[range].fetch_add(1);
          if (range >= 2) asked.store(true);
          std::this_thread::sleep_for(1ms);
        });
      } catch (const velk::Stopped&) {
        stopped = true;
      }
      int total = 0;
      for (auto& r : runs) {
        if (r.load() > 1) fail("a range ran twice");
        total += r.load();
      }
      if (checks == 0) fail("a call of 60 ms never asked its stop check");
      if (stop && (!stopped || total == static_cast<int>(kRanges))) fail("a stopped call ran to its end");
      if (!stop && (stopped || total != static_cast<int>(kRanges))) fail("a call that was not stopped skipped ranges");
    }
  });
}

struct Collection {
  std::vector<float> embeddings;
  std::vector<float> query;
  std::uint64_t dim;
  std::vector<velk::ScoredHit> expected;
};

// The expected top rows, from the plain kernel on one thread.
std::vector<velk::ScoredHit> reference(const Collection& c, std::uint64_t k) {
  std::vector<velk::ScoredHit> all;
  const float query_norm = velk::norm_from_squared(velk::squared_norm(c.query));
  for (std::uint64_t i = 0; i < c.embeddings.size() / c.dim; ++i) {
    const std::span<const float> row(c.embeddings.data() + i * c.dim, c.dim);
    all.push_back({i, velk::row_score(row, c.query, query_norm)});
  }
  velk::rank_all_then_cut(all, k);
  return all;
}

// Flat searches of different collections from several threads at once: each
// caller gets exactly its own result.
void flat_searches_from_many_threads(int rounds) {
  std::vector<Collection> collections;
  std::mt19937 rng(2026);
  std::normal_distribution<float> normal;
  for (std::uint64_t dim : {3, 16, 50, 128}) {
    Collection c{std::vector<float>(9000 * dim), std::vector<float>(dim), dim, {}};
    for (float& x : c.embeddings) x = normal(rng);
    for (float& x : c.query) x = normal(rng);
    c.expected = reference(c, 25);
    collections.push_back(std::move(c));
  }
  on_threads(4, [&](int caller) {
    for (int round = 0; round < rounds; ++round) {
      const Collection& c = collections[static_cast<std::size_t>(caller + round) % collections.size()];
      const std::vector<velk::ScoredHit> hits = velk::flat_top_k(c.query, c.embeddings, c.dim, 25);
      bool same = hits.size() == c.expected.size();
      for (std::size_t i = 0; same && i < hits.size(); ++i) {
        same = hits[i].index == c.expected[i].index && bits(hits[i].score) == bits(c.expected[i].score);
      }
      if (!same) fail("flat search of dim " + std::to_string(c.dim) + " differs from the reference");
    }
  });
}

// Multi-query searches from several threads at once, each also sharing its own work
// out over the pool: every caller gets the result of the same search made
// alone, bit for bit.
void query_set_searches_from_many_threads(int rounds) {
  struct Batch {
    std::vector<float> embeddings, queries;
    std::uint64_t dim, k, threads;
    std::vector<float> scores;
    std::vector<std::int64_t> indices;
    // A filter per query (every other batch): the subset paths on the pool too.
    std::vector<std::uint8_t> filter;
    velk::Candidates candidates() const {
      velk::Candidates c;
      if (!filter.empty()) {
        c.mask = filter.data();
        c.mask_stride = 6000;
      }
      return c;
    }
  };
  std::vector<Batch> batches;
  std::mt19937 rng(2027);
  std::normal_distribution<float> normal;
  const std::uint64_t shapes[][4] = {{3, 1, 25, 0}, {16, 7, 5, 2}, {50, 40, 10, 0}, {128, 9, 3000, 1}};
  for (const auto& shape : shapes) {
    const std::uint64_t dim = shape[0], queries = shape[1], k = shape[2];
    Batch b{std::vector<float>(6000 * dim), std::vector<float>(queries * dim), dim, k, shape[3], {}, {}, {}};
    if (batches.size() % 2 == 1) {
      b.filter.resize(queries * 6000);
      for (std::size_t i = 0; i < b.filter.size(); ++i) b.filter[i] = static_cast<std::uint8_t>(rng() % 3 == 0);
    }
    for (float& x : b.embeddings) x = normal(rng);
    for (float& x : b.queries) x = normal(rng);
    const std::uint64_t width = std::min<std::uint64_t>(k, 6000);
    b.scores.resize(queries * width);
    b.indices.resize(queries * width);
    velk::search_queries({b.queries, velk::float32_collection(b.embeddings.data(), b.embeddings.size(), dim), k,
                          b.threads, b.candidates()},
                         {b.scores.data(), b.indices.data()});
    batches.push_back(std::move(b));
  }
  on_threads(4, [&](int caller) {
    for (int round = 0; round < rounds; ++round) {
      const Batch& b = batches[static_cast<std::size_t>(caller + round) % batches.size()];
      std::vector<float> scores(b.scores.size());
      std::vector<std::int64_t> indices(b.indices.size());
      velk::search_queries({b.queries, velk::float32_collection(b.embeddings.data(), b.embeddings.size(), b.dim), b.k,
                            b.threads, b.candidates()},
                           {scores.data(), indices.data()});
      bool same = indices == b.indices;
      for (std::size_t i = 0; same && i < scores.size(); ++i) same = bits(scores[i]) == bits(b.scores[i]);
      if (!same) fail("multi-query search of dim " + std::to_string(b.dim) + " differs from the same search alone");
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  setenv("RAYON_NUM_THREADS", "3", 1);
  // Two threads race to create the pool; both must see the same one.
  std::atomic<std::uint64_t> seen[2];
  on_threads(2, [&seen](int t) { seen[t].store(velk::pool_worker_count()); });
  if (seen[0].load() != 3 || seen[1].load() != 3) fail("the racing creators saw different pools");

  tiny_calls_from_many_threads(rounds * 10);
  failures_reach_their_own_caller(rounds);
  stopped_calls_end_early(rounds / 20 + 1);
  flat_searches_from_many_threads(rounds / 4 + 1);
  query_set_searches_from_many_threads(rounds / 8 + 1);
  if (failures.load() != 0) {
    std::fprintf(stderr, "%d failures\n", failures.load());
    return 1;
  }
  std::puts("pool stress: ok");
  return 0;
}

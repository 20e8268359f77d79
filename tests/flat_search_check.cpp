// A fixed-seed flat search through the worker pool, checked against a plain
// one-thread reference and summed up as one hash of every result's index and
// score bits. The hash must be the same on every processor and instruction
// set; `make test-aarch64` compares the value of an ARM build under qemu with
// the value of a native build.
//
//   flat_search_check [SEED]
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <span>
#include <vector>

#include "similarity/cosine.h"
#include "similarity/ranking.h"
#include "similarity/search.h"
#include "similarity/worker_pool.h"

namespace {

std::uint32_t bits(float x) {
  std::uint32_t b;
  std::memcpy(&b, &x, sizeof b);
  return b;
}

// Values built from the generator's raw bits (its output is fixed by the
// standard, unlike the library's distributions): mostly ordinary numbers, with
// zero rows, a NaN, an infinity and subnormals mixed in.
class Values {
 public:
  explicit Values(std::uint64_t seed) : rng_(seed) {}
  std::uint64_t below(std::uint64_t n) { return rng_() % n; }
  float ordinary() { return (static_cast<float>(rng_() >> 40) - 8388608.0f) / 1048576.0f; }
  float awkward() {
    switch (below(64)) {
      case 0:
        return 0.0f;
      case 1:
        return -0.0f;
      case 2:
        return 1e-40f;
      case 3:
        return 3e38f;
      default:
        return ordinary();
    }
  }

 private:
  std::mt19937_64 rng_;
};

struct Hash {
  std::uint64_t value = 0xcbf29ce484222325u;  // FNV-1a, 64 bits
  void add(std::uint64_t word) {
    for (int i = 0; i < 8; ++i) {
      value ^= (word >> (8 * i)) & 0xFF;
      value *= 0x100000001b3u;
    }
  }
};

std::vector<velk::ScoredHit> reference(std::span<const float> query, std::span<const float> embeddings,
                                       std::uint64_t dim, std::uint64_t k) {
  const std::uint64_t n = embeddings.size() / dim;
  const float squared = velk::squared_norm(query);
  if (std::min(n, k) == 0 || query.empty() || squared == 0.0f) return {};
  const float query_norm = velk::norm_from_squared(squared);
  std::vector<velk::ScoredHit> all;
  for (std::uint64_t i = 0; i < n; ++i) {
    all.push_back({i, velk::row_score(embeddings.subspan(i * dim, dim), query, query_norm)});
  }
  velk::rank_all_then_cut(all, k);
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  Values values(argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20261208);
  Hash hash;
  int failures = 0;
  std::uint64_t searches = 0;
  for (const std::uint64_t dim : {1, 3, 8, 16, 17, 64, 100, 128, 384, 769}) {
    const std::uint64_t rows = 1 + values.below(dim > 100 ? 6000 : 40000);
    std::vector<float> embeddings(rows * dim + values.below(dim));
    for (float& x : embeddings) x = values.awkward();
    for (std::uint64_t r = 0; r < rows; r += 1 + values.below(50)) {
      embeddings[r * dim + values.below(dim)] = values.below(2) ? std::numeric_limits<float>::quiet_NaN() : INFINITY;
    }
    for (const std::uint64_t query_length : {dim, dim / 2 + 1, dim + 3}) {
      std::vector<float> query(query_length);
      for (float& x : query) x = values.ordinary();
      for (const std::uint64_t k : {std::uint64_t{1}, std::uint64_t{10}, rows / 3 + 1, rows + 5}) {
        const std::vector<velk::ScoredHit> hits = velk::flat_top_k(query, embeddings, dim, k);
        const std::vector<velk::ScoredHit> expected = reference(query, embeddings, dim, k);
        bool same = hits.size() == expected.size();
        for (std::size_t i = 0; same && i < hits.size(); ++i) {
          same = hits[i].index == expected[i].index && bits(hits[i].score) == bits(expected[i].score);
        }
        if (!same && ++failures <= 10) {
          std::printf("FAIL dim %llu query %llu rows %llu k %llu: differs from the one-thread reference\n",
                      (unsigned long long)dim, (unsigned long long)query_length, (unsigned long long)rows,
                      (unsigned long long)k);
        }
        for (const velk::ScoredHit& hit : hits) hash.add(hit.index << 32 | bits(hit.score));
        hash.add(hits.size());
        ++searches;
      }
    }
  }
  std::printf("flat searches: %llu on %llu workers, %d failures\n", (unsigned long long)searches,
              (unsigned long long)velk::pool_worker_count(), failures);
  std::printf("flat search hash: %016llx\n", (unsigned long long)hash.value);
  return failures == 0 ? 0 : 1;
}

// The multi-query search at every instruction-set level the processor can run,
// against one flat_top_k call per query, bit for bit, on random data full of
// awkward values; and both against a plain reference (every row scored with
// the scalar cosine, all of them ranked), since they share their top-k
// collector. Built and run by test_batch_levels.py, and cross-compiled for
// 64-bit ARM by `make test-aarch64`:
//   batch_search_check [SEED]   compare, print one line per level
//   batch_search_check hash [STORAGE]  search fixed-seed data (held as STORAGE,
//                               float32 by default) at the widest level and
//                               print a hash of the result bits, which must be
//                               the same on every processor
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "similarity/cosine.h"
#include "similarity/search.h"
#include "similarity/simd_level.h"
#include "similarity/storage.h"
#include "stored_values.h"

namespace {

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

  // Mostly ordinary numbers of mixed magnitudes; `weirdness` per mille are
  // zeros of both signs, subnormals, infinities, NaNs with payloads, or
  // values whose squares overflow or underflow.
  float awkward(unsigned weirdness) {
    if (below(1000) >= weirdness) return ordinary();
    const std::uint32_t sign = below(2) ? 0x80000000u : 0u;
    switch (below(6)) {
      case 0:
        return from_bits(sign);
      case 1:
        return from_bits(static_cast<std::uint32_t>(1 + below(0x007FFFFF)) | sign);
      case 2:
        return from_bits(0x7F800000u | sign);
      case 3:
        return from_bits(0x7FC00000u | static_cast<std::uint32_t>(below(0x003FFFFF)) | sign);
      case 4:
        return std::uniform_real_distribution<float>(1e19f, 3e38f)(rng_) * (sign ? -1.0f : 1.0f);
      default:
        return std::uniform_real_distribution<float>(1e-30f, 1e-20f)(rng_) * (sign ? -1.0f : 1.0f);
    }
  }

  float ordinary() {
    const float scale = std::ldexp(1.0f, static_cast<int>(below(13)) - 6);
    return std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng_) * scale;
  }

 private:
  std::mt19937_64 rng_;
};

struct Case {
  std::uint64_t rows, dim, queries, k, threads;
  std::vector<float> embeddings, query_rows;
};

// Queries with zeros, NaNs, or equal to a row; rows with whole zero rows,
// one-NaN rows, infinite rows, duplicates (tied scores) and rows whose every
// product with a query is -0.0; then k and the task cap.
Case make_case(Values& values, std::uint64_t rows, std::uint64_t dim, std::uint64_t queries, unsigned weirdness) {
  Case c{rows, dim, queries, 0, 0, std::vector<float>(rows * dim), std::vector<float>(queries * dim)};
  for (float& x : c.embeddings) x = values.awkward(weirdness);
  for (float& x : c.query_rows) x = values.awkward(weirdness / 4);
  for (std::uint64_t q = 0; q < queries; ++q) {
    float* query = c.query_rows.data() + q * dim;
    switch (values.below(8)) {
      case 0:
        std::fill(query, query + dim, values.below(2) ? 0.0f : -0.0f);
        break;
      case 1:
        std::copy(c.embeddings.begin(), c.embeddings.begin() + static_cast<std::ptrdiff_t>(dim), query);
        break;
      case 2:
        query[values.below(dim)] = std::numeric_limits<float>::quiet_NaN();
        break;
      case 3:
        for (std::uint64_t j = 0; j < dim; j += 2) query[j] = 0.0f;
        break;
      default:
        break;
    }
  }
  for (std::uint64_t r = 0; r < rows; ++r) {
    float* row = c.embeddings.data() + r * dim;
    switch (values.below(16)) {
      case 0:
        std::fill(row, row + dim, 0.0f);
        break;
      case 1:
        row[values.below(dim)] = std::numeric_limits<float>::quiet_NaN();
        break;
      case 2:
        row[values.below(dim)] = INFINITY;
        break;
      case 3:
        std::copy(c.embeddings.begin(), c.embeddings.begin() + static_cast<std::ptrdiff_t>(dim), row);
        break;
      case 4: {
        // Every product with the first query is -0.0, so its dot product is
        // -0.0 only if the sum starts from -0.0.
        const float* query = c.query_rows.data();
        for (std::uint64_t j = 0; j < dim; ++j) row[j] = std::copysign(query[j] == 0.0f ? 1.0f : 0.0f, -query[j]);
        break;
      }
      default:
        break;
    }
  }
  const std::uint64_t ks[] = {1, 1 + values.below(10), rows, rows + 3, 1 + values.below(rows)};
  c.k = ks[values.below(5)];
  c.threads = values.below(3);  // 0: the whole pool
  return c;
}

struct Results {
  std::vector<float> scores;
  std::vector<std::int64_t> indices;
};

// Candidate rows for a search of a subset, in one of its four forms: a shared
// filter, one filter per query, a shared list, one list per query. Sparse,
// dense, empty or full, so that whole blocks are skipped and queries differ.
struct Subset {
  std::vector<std::uint8_t> mask;
  std::vector<std::uint64_t> rows;
  std::vector<std::uint64_t> offsets;
  std::uint64_t form = 0;
  std::vector<std::vector<std::uint64_t>> of_query;  // each query's candidates, ascending
};

Subset make_subset(Values& values, const Case& c) {
  Subset s;
  s.form = values.below(4);
  const bool shared = s.form % 2 == 0;
  const std::uint64_t sets = shared ? 1 : c.queries;
  for (std::uint64_t q = 0; q < sets; ++q) {
    const std::uint64_t permille[] = {0, 1000, 10, 300, 900};
    const std::uint64_t keep = permille[values.below(5)];
    std::vector<std::uint64_t> rows;
    for (std::uint64_t i = 0; i < c.rows; ++i) {
      // A run of rows dropped now and then: blocks with no candidate at all.
      if (values.below(1000) < keep && (i / 64) % 3 != 1) rows.push_back(i);
    }
    s.of_query.push_back(rows);
  }
  if (shared) s.of_query.assign(c.queries, s.of_query.front());
  if (s.form < 2) {
    s.mask.assign(sets * c.rows, 0);
    for (std::uint64_t q = 0; q < sets; ++q) {
      for (const std::uint64_t i : s.of_query[q])
        s.mask[q * c.rows + i] = static_cast<std::uint8_t>(1 + values.below(200));
    }
  } else {
    s.offsets.push_back(0);
    for (std::uint64_t q = 0; q < sets; ++q) {
      s.rows.insert(s.rows.end(), s.of_query[q].begin(), s.of_query[q].end());
      s.offsets.push_back(s.rows.size());
    }
  }
  return s;
}

velk::Candidates candidates_of(const Subset& s, const Case& c) {
  velk::Candidates candidates;
  if (s.form < 2) {
    candidates.mask = s.mask.data();
    candidates.mask_stride = s.form == 0 ? 0 : c.rows;
  } else {
    candidates.rows = s.rows.data();
    candidates.offsets = s.offsets.data();
    candidates.lists_per_query = s.form == 3;
  }
  return candidates;
}

// What every search must give: each row scored on its own by the scalar
// reference, all rows ranked, the first width kept; with a subset, its rows
// alone.
Results reference(const Case& c, const Subset* subset = nullptr) {
  const std::uint64_t width = std::min(c.k, c.rows);
  Results out{std::vector<float>(c.queries * width, -INFINITY), std::vector<std::int64_t>(c.queries * width, -1)};
  for (std::uint64_t q = 0; q < c.queries; ++q) {
    const std::span<const float> query(c.query_rows.data() + q * c.dim, c.dim);
    const float squared = velk::squared_norm(query);
    if (width == 0 || squared == 0.0f) continue;
    std::vector<velk::ScoredHit> all;
    for (std::uint64_t i = 0; i < c.rows; ++i) {
      if (subset != nullptr && !std::binary_search(subset->of_query[q].begin(), subset->of_query[q].end(), i)) continue;
      const std::span<const float> row(c.embeddings.data() + i * c.dim, c.dim);
      all.push_back({i, velk::row_score(row, query, velk::norm_from_squared(squared))});
    }
    const std::uint64_t found = std::min<std::uint64_t>(width, all.size());
    velk::rank_all_then_cut(all, found);
    for (std::uint64_t j = 0; j < found; ++j) {
      out.scores[q * width + j] = all[j].score;
      out.indices[q * width + j] = static_cast<std::int64_t>(all[j].index);
    }
  }
  return out;
}

Results flat_searches(const Case& c) {
  const std::uint64_t width = std::min(c.k, c.rows);
  Results out{std::vector<float>(c.queries * width, -INFINITY), std::vector<std::int64_t>(c.queries * width, -1)};
  for (std::uint64_t q = 0; q < c.queries; ++q) {
    const std::span<const float> query(c.query_rows.data() + q * c.dim, c.dim);
    const std::vector<velk::ScoredHit> hits = velk::flat_top_k(query, c.embeddings, c.dim, c.k);
    for (std::uint64_t j = 0; j < hits.size(); ++j) {
      out.scores[q * width + j] = hits[j].score;
      out.indices[q * width + j] = static_cast<std::int64_t>(hits[j].index);
    }
  }
  return out;
}

// Case c with its rows held in a compact type: stored values in place of
// c.embeddings, which becomes their float32 copy; whole zero rows, rows of the
// type's extreme value, duplicates of row 0 (tied scores), and queries equal
// to row 0's copy.
stored::Stored make_compact(Values& values, velk::Storage storage, Case& c, unsigned weirdness) {
  const auto below = [&values](std::uint64_t n) { return values.below(n); };
  stored::Stored s =
      stored::make_stored(storage, c.rows, c.dim, 0, [&] { return stored::compact_bits(storage, weirdness, below); });
  for (std::uint64_t r = 1; r < c.rows; ++r) {
    const std::uint64_t pick = values.below(12);
    if (pick < 2) stored::fill_row(s, r, pick == 1);
    if (pick == 2) {
      std::memcpy(s.bytes.data() + r * s.dim * velk::storage_bytes(storage), s.bytes.data(),
                  s.dim * velk::storage_bytes(storage));
      std::copy_n(s.copy.begin(), s.dim, s.copy.begin() + static_cast<std::ptrdiff_t>(r * s.dim));
    }
  }
  c.embeddings = s.copy;
  for (std::uint64_t q = 0; q < c.queries; ++q) {
    if (values.below(8) == 0) {
      std::copy_n(s.copy.begin(), c.dim, c.query_rows.begin() + static_cast<std::ptrdiff_t>(q * c.dim));
    }
  }
  return s;
}

// The multi-query search of the case's rows, or of the stored rows when given.
Results search(SimdLevel level, const Case& c, const Subset* subset = nullptr, const stored::Stored* rows = nullptr) {
  const std::uint64_t width = std::min(c.k, c.rows);
  // A guard entry after each array: nothing may be written past the results.
  Results out{std::vector<float>(c.queries * width + 1, 12345.0f),
              std::vector<std::int64_t>(c.queries * width + 1, 777)};
  const velk::Candidates candidates = subset != nullptr ? candidates_of(*subset, c) : velk::Candidates{};
  const velk::Collection collection =
      rows != nullptr ? rows->collection() : velk::float32_collection(c.embeddings.data(), c.embeddings.size(), c.dim);
  velk::search_queries_with(level, {c.query_rows, collection, c.k, c.threads, candidates},
                            {out.scores.data(), out.indices.data()});
  return out;
}

int compare_all(std::uint64_t seed) {
  Values values(seed);
  std::vector<std::uint64_t> dims;
  for (std::uint64_t d = 1; d <= 40; ++d) dims.push_back(d);
  for (std::uint64_t d : {63, 64, 65, 127, 128, 129, 383, 384, 385, 767, 768, 769}) dims.push_back(d);

  int failures = 0;
  // Reported entry by entry; `what` names the search that differs.
  const auto compare = [&failures](const char* what, const Case& c, const Results& got, const Results& want) {
    std::uint64_t nan_scores = 0;
    for (std::uint64_t i = 0; i < want.scores.size(); ++i) {
      if (want.scores[i] != want.scores[i]) ++nan_scores;
      if (got.indices[i] != want.indices[i] || bits(got.scores[i]) != bits(want.scores[i])) {
        if (++failures <= 20) {
          std::printf(
              "FAIL %s dim %llu rows %llu queries %llu k %llu threads %llu entry %llu: "
              "%lld %08x, expected %lld %08x\n",
              what, static_cast<unsigned long long>(c.dim), static_cast<unsigned long long>(c.rows),
              static_cast<unsigned long long>(c.queries), static_cast<unsigned long long>(c.k),
              static_cast<unsigned long long>(c.threads), static_cast<unsigned long long>(i),
              static_cast<long long>(got.indices[i]), bits(got.scores[i]), static_cast<long long>(want.indices[i]),
              bits(want.scores[i]));
        }
      }
    }
    return nan_scores;
  };
  // Every level meets the same cases; the reference is computed once per case.
  for (const velk::Storage storage : velk::kStorages) {
    const bool compact = storage != velk::Storage::float32;
    const char* storage_name = velk::storage_name(storage);
    // The compact types on a shorter list of widths, every shape of the row
    // and tile kernels still met: single values, partial blocks, one and
    // several whole blocks, a partial block after many.
    std::vector<std::uint64_t> storage_dims = dims;
    if (compact) storage_dims = {1, 7, 16, 17, 31, 128, 384, 769};
    std::vector<Results> references;
    std::vector<Subset> subsets;
    std::vector<Results> subset_references;
    for (const SimdLevel level : velk::kSimdLevels) {
      if (!velk::simd_level_supported(level)) {
        std::printf("skipped %s %s\n", velk::simd_level_name(level), storage_name);
        continue;
      }
      std::uint64_t compared = 0;
      std::uint64_t nan_scores = 0;
      std::uint64_t compared_cases = 0;
      Values level_values(seed + static_cast<std::uint64_t>(storage));
      for (const std::uint64_t dim : storage_dims) {
        for (std::uint64_t round = 0; round < 3; ++round) {
          // Sometimes enough rows for several blocks and for the pool.
          const std::uint64_t rows = 1 + level_values.below(round == 2 ? 3000 : 200);
          const std::uint64_t queries = 1 + level_values.below(round == 1 ? 40 : 12);
          const unsigned weirdness = round == 0 ? 0 : (round == 1 ? 10 : 200);
          Case c = make_case(level_values, rows, dim, queries, weirdness);
          std::optional<stored::Stored> held;
          if (compact) held = make_compact(level_values, storage, c, weirdness);
          const stored::Stored* stored_rows = held ? &*held : nullptr;
          const std::uint64_t number = compared_cases++;
          if (number == references.size()) {
            references.push_back(reference(c));
            if (!compact) compare("flat_top_k", c, flat_searches(c), references.back());
            subsets.push_back(make_subset(level_values, c));
            subset_references.push_back(reference(c, &subsets.back()));
          } else {
            make_subset(level_values, c);  // the same draws as the first level made
          }
          const std::string what = std::string(velk::simd_level_name(level)) + " " + storage_name;
          const Results& want = references[number];
          const Results got = search(level, c, nullptr, stored_rows);
          if (bits(got.scores.back()) != bits(12345.0f) || got.indices.back() != 777) {
            std::printf("FAIL %s wrote past the results: dim %llu\n", what.c_str(),
                        static_cast<unsigned long long>(dim));
            ++failures;
          }
          compared += want.scores.size();
          nan_scores += compare(what.c_str(), c, got, want);
          const Results got_subset = search(level, c, &subsets[number], stored_rows);
          compared += subset_references[number].scores.size();
          const std::string subset_what = what + " subset form " + std::to_string(subsets[number].form);
          nan_scores += compare(subset_what.c_str(), c, got_subset, subset_references[number]);
        }
      }
      std::printf("checked %s %s: %llu entries, %llu NaN scores\n", velk::simd_level_name(level), storage_name,
                  static_cast<unsigned long long>(compared), static_cast<unsigned long long>(nan_scores));
    }
  }
  std::printf("%d failures\n", failures);
  return failures == 0 ? 0 : 1;
}

// FNV-1a over the result bits of a fixed-seed batch: the same on every processor.
int print_hash(velk::Storage storage) {
  Values values(20261208);
  std::uint64_t hash = 0xcbf29ce484222325u;
  const auto mix = [&hash](std::uint64_t word) {
    for (int b = 0; b < 8; ++b) {
      hash ^= (word >> (8 * b)) & 0xFF;
      hash *= 0x100000001b3u;
    }
  };
  for (const std::uint64_t dim : {1, 7, 64, 100, 385}) {
    Case c = make_case(values, 4000, dim, 37, 20);
    c.k = 25;
    std::optional<stored::Stored> held;
    if (storage != velk::Storage::float32) held = make_compact(values, storage, c, 20);
    const Results got = search(velk::active_simd_level(), c, nullptr, held ? &*held : nullptr);
    for (std::uint64_t i = 0; i + 1 < got.scores.size(); ++i) {
      mix(bits(got.scores[i]));
      mix(static_cast<std::uint64_t>(got.indices[i]));
    }
  }
  std::printf("%016llx %s %s\n", static_cast<unsigned long long>(hash),
              velk::simd_level_name(velk::active_simd_level()), velk::storage_name(storage));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "hash") {
    const std::optional<velk::Storage> storage = stored::storage_named(argc > 2 ? argv[2] : "float32");
    if (!storage) {
      std::fprintf(stderr, "storage types: float32 float16 bfloat16 int8 uint8\n");
      return 2;
    }
    return print_hash(*storage);
  }
  return compare_all(argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1);
}

// libFuzzer harness for the numeric core: the kernels and the batch scoring the
// module dispatches to must give the bits of a plain scalar reference, written
// here from the arithmetic rules alone, for any float bit patterns; ranking must
// equal a stable sort by totalOrder; a panic inside a pool worker must reach the
// caller and leave the pool usable. Built by `make fuzz` with clang.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "similarity/cosine.h"
#include "similarity/panic.h"
#include "similarity/ranking.h"
#include "similarity/search.h"
#include "similarity/worker_pool.h"

namespace {

std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }
bool is_nan(float x) { return x != x; }
float quiet(float x) { return std::bit_cast<float>(bits(x) | 0x00400000u); }

// One NaN operand: that NaN, quieted; two: the left one; invalid on numbers: +qNaN.
float nan_rule(float left, float right, float result) {
  if (!is_nan(result)) return result;
  if (is_nan(left)) return quiet(left);
  if (is_nan(right)) return quiet(right);
  return std::bit_cast<float>(0x7FC00000u);
}
float mul(float a, float b) { return nan_rule(a, b, a * b); }
float add(float a, float b) { return nan_rule(a, b, a + b); }
float div(float a, float b) { return nan_rule(a, b, a / b); }
float root(float x) { return is_nan(x) ? quiet(x) : std::sqrt(x); }

float ref_dot(std::span<const float> a, std::span<const float> b) {
  float acc = -0.0f;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) acc = add(acc, mul(a[i], b[i]));
  return acc;
}
float ref_squares(std::span<const float> v) {
  float acc = -0.0f;
  for (float x : v) acc = add(acc, mul(x, x));
  return acc;
}
float ref_cosine(std::span<const float> a, std::span<const float> b) {
  const float d = ref_dot(a, b), na = ref_squares(a), nb = ref_squares(b);
  if (na == 0.0f || nb == 0.0f) return 0.0f;
  return div(d, mul(root(na), root(nb)));
}
float ref_row(std::span<const float> row, std::span<const float> query, float query_norm) {
  const float nr = ref_squares(row);
  if (!(nr > 0.0f)) return 0.0f;
  return div(ref_dot(query, row), mul(root(nr), query_norm));
}
std::int32_t key(float s) {
  const auto v = std::bit_cast<std::int32_t>(s);
  return v < 0 ? (v ^ 0x7FFFFFFF) : v;
}
std::vector<velk::ScoredHit> ref_rank(std::vector<velk::ScoredHit> hits, std::uint64_t keep) {
  std::stable_sort(hits.begin(), hits.end(),
                   [](const velk::ScoredHit& x, const velk::ScoredHit& y) { return key(x.score) > key(y.score); });
  if (keep < hits.size()) hits.resize(keep);
  return hits;
}

[[noreturn]] void fail(const char* what, std::uint32_t got, std::uint32_t want) {
  std::fprintf(stderr, "mismatch in %s: got 0x%08x, want 0x%08x\n", what, got, want);
  std::abort();
}
void expect_bits(const char* what, float got, float want) {
  if (bits(got) != bits(want)) fail(what, bits(got), bits(want));
}
void expect_hits(const char* what, const std::vector<velk::ScoredHit>& got, const std::vector<velk::ScoredHit>& want) {
  if (got.size() != want.size())
    fail(what, static_cast<std::uint32_t>(got.size()), static_cast<std::uint32_t>(want.size()));
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i].index != want[i].index)
      fail(what, static_cast<std::uint32_t>(got[i].index), static_cast<std::uint32_t>(want[i].index));
    expect_bits(what, got[i].score, want[i].score);
  }
}

struct Input {
  const std::uint8_t* data;
  std::size_t size;
  std::uint8_t byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  // Floats from raw bits, so every NaN payload, subnormal and infinity occurs;
  // a byte now and then picks a small exact value instead, to make ties and zeros common.
  std::vector<float> floats(std::size_t count) {
    std::vector<float> out;
    for (std::size_t i = 0; i < count && size > 0; ++i) {
      const std::uint8_t tag = byte();
      if (tag < 160) {
        out.push_back(static_cast<float>(static_cast<int>(tag % 9) - 4));
      } else {
        std::uint32_t raw = 0;
        for (int j = 0; j < 4; ++j) raw = (raw << 8) | byte();
        out.push_back(std::bit_cast<float>(raw));
      }
    }
    return out;
  }
};

void check_kernels(Input& in) {
  const std::size_t la = in.byte() % 40, lb = in.byte() % 40;
  const auto a = in.floats(la);
  const auto b = in.floats(lb);
  expect_bits("dot_product", velk::dot_product(a, b), ref_dot(a, b));
  expect_bits("squared_norm", velk::squared_norm(a), ref_squares(a));
  expect_bits("cosine_similarity", velk::cosine_similarity(a, b), ref_cosine(a, b));
  if (!a.empty() && !b.empty()) {
    const float query_norm = root(ref_squares(b));
    expect_bits("row_score", velk::row_score(a, b, query_norm), ref_row(a, b, query_norm));
  }
}

void check_ranking(Input& in) {
  const auto scores = in.floats(in.byte() % 64);
  std::vector<velk::ScoredHit> hits;
  for (std::size_t i = 0; i < scores.size(); ++i) hits.push_back({i, scores[i]});
  const std::uint64_t k = in.byte() % 70;
  auto all = hits;
  velk::rank_all_then_cut(all, k);
  expect_hits("rank_all_then_cut", all, ref_rank(hits, k));
  if (!hits.empty()) {
    const std::uint64_t width = 1 + k % hits.size();
    auto selected = hits;
    velk::select_then_rank(selected, width);
    expect_hits("select_then_rank", selected, ref_rank(hits, width));
  }
}

void check_flat(Input& in) {
  const std::uint64_t dim = in.byte() % 9;
  const std::uint64_t k = in.byte() % 12;
  const auto query = in.floats(in.byte() % 10);
  auto embeddings = in.floats(in.byte());
  // Now and then enough rows for the scoring to be split across the workers.
  if (in.byte() == 7 && dim != 0) {
    const std::size_t original = embeddings.size();
    for (std::size_t i = 0; original != 0 && embeddings.size() < 70'000; ++i)
      embeddings.push_back(embeddings[i % original]);
  }
  std::vector<velk::ScoredHit> got;
  try {
    got = velk::flat_top_k(query, embeddings, dim, k);
  } catch (const velk::Panic& panic) {
    if (dim == 0 && panic.message() == "attempt to divide by zero") return;
    throw;
  }
  if (dim == 0) fail("flat_top_k dim 0 returned", 0, 1);
  const std::uint64_t n = embeddings.size() / dim;
  const std::uint64_t width = std::min(n, k);
  std::vector<velk::ScoredHit> want;
  const float s = ref_squares(query);
  if (width != 0 && !query.empty() && s != 0.0f) {
    const float query_norm = root(s);
    std::vector<velk::ScoredHit> scored;
    for (std::uint64_t i = 0; i < n; ++i) {
      scored.push_back({i, ref_row(std::span<const float>(embeddings).subspan(i * dim, dim), query, query_norm)});
    }
    want = ref_rank(scored, width);
  }
  expect_hits("flat_top_k", got, want);
}

// Runs body(begin, end) on the pool for every run of up to `per_range` of n rows.
template <class Body>
void for_each_row_range(std::uint64_t n, std::uint64_t per_range, Body&& body) {
  velk::run_on_pool(
      (n + per_range - 1) / per_range, velk::pool_worker_count(),
      [&](std::uint64_t, std::uint64_t range) { body(range * per_range, std::min(n, (range + 1) * per_range)); });
}

void check_worker_panic(Input& in) {
  const std::uint64_t n = 1000 + in.byte() * 100;
  const std::uint64_t failing = (in.byte() * 997u) % n;
  try {
    for_each_row_range(n, 64, [failing](std::uint64_t begin, std::uint64_t end) {
      if (begin <= failing && failing < end) velk::panic("worker failure");
    });
    fail("a panic in a worker was lost", 0, 1);
  } catch (const velk::Panic& panic) {
    if (panic.message() != "worker failure") fail("the worker's panic message changed", 0, 1);
  }
  // The pool keeps working: every row exactly once.
  std::vector<std::atomic<int>> seen(n);
  for_each_row_range(n, 64, [&seen](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t i = begin; i < end; ++i) seen[i].fetch_add(1);
  });
  for (auto& count : seen) {
    if (count.load() != 1) fail("rows after a worker panic", static_cast<std::uint32_t>(count.load()), 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in{data, size};
  switch (in.byte() % 8) {
    case 0:
    case 1:
    case 2:
      check_kernels(in);
      break;
    case 3:
    case 4:
      check_ranking(in);
      break;
    case 5:
    case 6:
      check_flat(in);
      break;
    default:
      check_worker_panic(in);
      break;
  }
  return 0;
}

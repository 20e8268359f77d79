#include "similarity/batch_search.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "similarity/fixed_texts.h"
#include "similarity/float_environment.h"
#include "similarity/kernel.h"
#include "similarity/panic.h"
#include "similarity/ranking.h"
#include "similarity/row_ranges.h"
#include "similarity/row_scoring.h"
#include "similarity/tile_kernels.h"
#include "similarity/worker_pool.h"

namespace velk {
namespace {

// A block of rows is packed into about this many bytes, which stay in a
// core's L2 cache while every query tile passes over them.
constexpr std::uint64_t kChunkBytes = std::uint64_t{256} << 10;

// The kept hits (or slots) of the queries searched together take at most
// about this much memory; larger batches are searched one group after another.
// A single query may need more: n slots, as flat_top_k takes for it.
constexpr std::uint64_t kGroupBytes = std::uint64_t{64} << 20;

// The tasks share out blocks of rows when each gets at least this many, and
// otherwise, when there are at least two query tiles per task, the queries:
// each task then takes its part of the queries over all rows. Measured on two
// cores (medians of 41 alternating pairs, 384 floats a row): with 256 queries,
// sharing the queries out was 5-25% faster with 2 to 8 blocks and within 4%
// either way from 16 blocks on; with 16 or 32 queries, sharing the rows was
// 8-22% faster from 32 blocks on, as each task would pack every block for
// little work.
constexpr std::uint64_t kMinChunksPerTask = 8;
constexpr std::uint64_t kMinTilesPerTask = 2;

constexpr std::uint64_t kNoChunk = std::numeric_limits<std::uint64_t>::max();

// A lone query has nothing to share a packed block with: it is scored with the
// row kernels, in the row ranges that flat_top_k cuts, which gives it
// flat_top_k's speed.

// Floats on 64-byte boundaries, so that no vector load of a packed column
// crosses a cache line.
class AlignedFloats {
 public:
  AlignedFloats() = default;
  explicit AlignedFloats(std::uint64_t count)
      : data_(static_cast<float*>(::operator new[](count * sizeof(float), kAlignment))) {}

  float* get() const noexcept { return data_.get(); }

 private:
  static constexpr std::align_val_t kAlignment{64};
  struct Free {
    void operator()(float* p) const noexcept { ::operator delete[](p, kAlignment); }
  };
  std::unique_ptr<float, Free> data_;
};

// What one task of the pool keeps between its ranges: the block of rows it
// packed last (often the next range's too) and the scores of one tile.
struct TaskState {
  AlignedFloats panel;
  AlignedFloats squares;
  AlignedFloats roots;
  AlignedFloats scores;
  std::uint64_t chunk = kNoChunk;
};

// Queries first .. first + count - 1 of the scored list.
struct Tile {
  std::uint64_t first;
  std::uint64_t count;
};

// Runs body(task, range) for every range, on the pool unless there is one task.
template <class Body>
void run_ranges(std::uint64_t ranges, std::uint64_t tasks, Body&& body) {
  if (tasks == 1) {
    for (std::uint64_t range = 0; range < ranges; ++range) body(0, range);
  } else {
    run_on_pool(ranges, tasks, body);
  }
}

bool is_nan(float x) noexcept { return x != x; }

class Search {
 public:
  Search(const BatchQuery& batch, BatchResults results, SimdLevel level);
  void run();

 private:
  std::span<const float> query(std::uint64_t q) const noexcept {
    return batch_.queries.subspan(q * dim_, dim_);
  }
  std::span<const float> row(std::uint64_t i) const noexcept { return batch_.embeddings.subspan(i * dim_, dim_); }
  void write(std::uint64_t q, std::span<const ScoredHit> hits) const noexcept;
  void plan_tiles(std::uint64_t group_queries);
  void search_group(std::uint64_t first_tile, std::uint64_t end_tile, bool kept);
  void pack_chunk(TaskState& state, std::uint64_t chunk) const noexcept;
  // Scores the state's packed block against tiles [first_tile, end_tile) and
  // hands every (scored query, row, score) to consume, NaNs recomputed.
  template <class Consume>
  void score_chunk_tiles(TaskState& state, std::uint64_t first_tile, std::uint64_t end_tile, Consume&& consume) const;

  const BatchQuery& batch_;
  BatchResults results_;
  SimdLevel level_;
  TileKernel kernel_;
  std::uint64_t dim_;
  std::uint64_t rows_;
  std::uint64_t kk_;
  std::uint64_t chunk_rows_;  // a multiple of lanes * group_step
  std::uint64_t chunks_;
  std::uint64_t tasks_ = 1;

  std::vector<float> norms_;          // per query
  std::vector<std::uint64_t> scored_;  // the queries with something to score, in order
  std::vector<float> scored_norms_;   // their norms, in the same order
  std::vector<Tile> tiles_;           // over scored_
  std::vector<std::uint64_t> group_ends_;  // tiles_ is cut into groups ending at these tiles
  AlignedFloats columns_;             // tile t's queries column by column, at tiles_[t].first * dim
};

Search::Search(const BatchQuery& batch, BatchResults results, SimdLevel level)
    : batch_(batch),
      results_(results),
      level_(level),
      kernel_(tile_kernel(level)),
      dim_(batch.dim),
      rows_(batch.embeddings.size() / batch.dim),
      kk_(std::min(rows_, batch.k)) {
  const std::uint64_t unit = kernel_.lanes * kernel_.group_step;
  const std::uint64_t all_rows = (rows_ + unit - 1) / unit * unit;
  chunk_rows_ = std::max(unit, std::min(all_rows, kChunkBytes / (dim_ * sizeof(float)) / unit * unit));
  chunks_ = rows_ / chunk_rows_ + (rows_ % chunk_rows_ != 0);
}

void Search::write(std::uint64_t q, std::span<const ScoredHit> hits) const noexcept {
  float* scores = results_.scores + q * kk_;
  std::int64_t* indices = results_.indices + q * kk_;
  for (std::uint64_t j = 0; j < kk_; ++j) {
    const bool found = j < hits.size();
    scores[j] = found ? hits[j].score : -std::numeric_limits<float>::infinity();
    indices[j] = found ? static_cast<std::int64_t>(hits[j].index) : -1;
  }
}

// Tiles of up to max_queries queries that never straddle a group of at most
// group_queries, and the queries' columns in tile order.
void Search::plan_tiles(std::uint64_t group_queries) {
  const std::uint64_t tile_size = std::min(kernel_.max_queries, group_queries);
  for (std::uint64_t group = 0; group < scored_.size(); group += group_queries) {
    const std::uint64_t group_end = std::min(group + group_queries, scored_.size());
    for (std::uint64_t first = group; first < group_end; first += tile_size) {
      tiles_.push_back({first, std::min(tile_size, group_end - first)});
    }
    group_ends_.push_back(tiles_.size());
  }
  columns_ = AlignedFloats(scored_.size() * dim_);
  for (const Tile& tile : tiles_) {
    float* out = columns_.get() + tile.first * dim_;
    for (std::uint64_t j = 0; j < tile.count; ++j) {
      const std::span<const float> values = query(scored_[tile.first + j]);
      for (std::uint64_t c = 0; c < dim_; ++c) out[c * tile.count + j] = values[c];
    }
  }
}

void Search::pack_chunk(TaskState& state, std::uint64_t chunk) const noexcept {
  const std::uint64_t first = chunk * chunk_rows_;
  const std::uint64_t rows = std::min(chunk_rows_, rows_ - first);
  const std::uint64_t groups = (rows + kernel_.lanes - 1) / kernel_.lanes;
  const std::uint64_t packed_groups = (groups + kernel_.group_step - 1) / kernel_.group_step * kernel_.group_step;
  kernel_.pack({row(first).data(), rows, dim_},
               {state.panel.get(), state.squares.get(), state.roots.get(), packed_groups, dim_});
  state.chunk = chunk;
}

template <class Consume>
void Search::score_chunk_tiles(TaskState& state, std::uint64_t first_tile, std::uint64_t end_tile,
                               Consume&& consume) const {
  const std::uint64_t first_row = state.chunk * chunk_rows_;
  const std::uint64_t rows = std::min(chunk_rows_, rows_ - first_row);
  const std::uint64_t groups = (rows + kernel_.lanes - 1) / kernel_.lanes;
  const PackedRows packed{state.panel.get(), state.squares.get(), state.roots.get(),
                          (groups + kernel_.group_step - 1) / kernel_.group_step * kernel_.group_step, dim_};
  for (std::uint64_t t = first_tile; t < end_tile; ++t) {
    const Tile& tile = tiles_[t];
    kernel_.score(packed, {columns_.get() + tile.first * dim_, scored_norms_.data() + tile.first, tile.count},
                  state.scores.get(), chunk_rows_);
    for (std::uint64_t j = 0; j < tile.count; ++j) {
      const std::uint64_t scored = tile.first + j;
      const float* scores = state.scores.get() + j * chunk_rows_;
      for (std::uint64_t r = 0; r < rows; ++r) {
        float score = scores[r];
        // The kernels leave a NaN as the hardware made it; the careful path
        // pins down its sign and payload, as score_rows does.
        if (is_nan(score)) score = row_score(row(first_row + r), query(scored_[scored]), scored_norms_[scored]);
        consume(scored, first_row + r, score);
      }
    }
  }
}

void Search::search_group(std::uint64_t first_tile, std::uint64_t end_tile, bool kept) {
  const std::uint64_t first_query = tiles_[first_tile].first;
  const std::uint64_t queries = tiles_[end_tile - 1].first + tiles_[end_tile - 1].count - first_query;
  const std::uint64_t tile_count = end_tile - first_tile;
  const bool lone = queries == 1;
  const RowRanges row_ranges(lone ? rows_ : 0, dim_);
  const bool share_queries = chunks_ < kMinChunksPerTask * tasks_ && tile_count >= kMinTilesPerTask * tasks_;
  const std::uint64_t parts = share_queries ? tasks_ : 1;
  const std::uint64_t ranges = lone ? row_ranges.count() : chunks_ * parts;
  const std::uint64_t tasks = std::min(tasks_, ranges);

  std::vector<TaskState> states(lone ? 0 : tasks);
  for (TaskState& state : states) {
    state.panel = AlignedFloats(chunk_rows_ * dim_);
    state.squares = AlignedFloats(chunk_rows_);
    state.roots = AlignedFloats(chunk_rows_);
    state.scores = AlignedFloats(kernel_.max_queries * chunk_rows_);
  }
  const auto each_range = [&](auto&& consume) {
    if (lone) {
      const std::uint64_t q = scored_[first_query];
      const FlatScoringContext context{batch_.embeddings, dim_, query(q), norms_[q]};
      run_ranges(ranges, tasks, [&](std::uint64_t task, std::uint64_t range) {
        const auto [begin, end] = row_ranges.rows(range);
        score_rows_through(level_, context, begin, end,
                           [&](std::uint64_t index, float score) { consume(task, 0, index, score); });
      });
      return;
    }
    // Range part * chunks + chunk: with one part, each task takes consecutive
    // blocks of rows; with one part per task, each task starts on its own
    // part and helps with the others when it is done.
    run_ranges(ranges, tasks, [&](std::uint64_t task, std::uint64_t range) {
      const std::uint64_t part = range / chunks_;
      const std::uint64_t chunk = range % chunks_;
      TaskState& state = states[task];
      if (state.chunk != chunk) pack_chunk(state, chunk);
      score_chunk_tiles(state, first_tile + part * tile_count / parts, first_tile + (part + 1) * tile_count / parts,
                        [&](std::uint64_t scored, std::uint64_t index, float score) {
                          consume(task, scored - first_query, index, score);
                        });
    });
  };

  if (kept) {
    // Few rows wanted: each task keeps its own best kk per query, and a
    // query's lists merge by score, then index, exactly as flat_top_k merges
    // its tasks' lists.
    std::vector<BestHits> best;  // best[query * tasks + task]
    best.reserve(queries * tasks);
    for (std::uint64_t i = 0; i < queries * tasks; ++i) best.emplace_back(kk_);
    each_range([&](std::uint64_t task, std::uint64_t q, std::uint64_t index, float score) {
      best[q * tasks + task].offer(index, score);
    });
    for (std::uint64_t q = 0; q < queries; ++q) {
      write(scored_[first_query + q], merge_best(std::span<const BestHits>(best).subspan(q * tasks, tasks), kk_));
    }
    return;
  }
  // Most rows wanted: one slot per row and query, then a selection per query.
  const std::unique_ptr<ScoredHit[]> slots(new ScoredHit[queries * rows_]);
  each_range([&](std::uint64_t, std::uint64_t q, std::uint64_t index, float score) {
    slots[q * rows_ + index] = {index, score};
  });
  run_ranges(queries, std::min(tasks_, queries), [&](std::uint64_t, std::uint64_t q) {
    const std::span<ScoredHit> hits(slots.get() + q * rows_, rows_);
    select_then_rank(hits, kk_);
    write(scored_[first_query + q], hits.first(kk_));
  });
}

void Search::run() {
  const std::uint64_t query_count = batch_.queries.size() / dim_;
  if (kk_ == 0 || query_count == 0) return;

  // Each query's norm once, and the queries with nothing to score answered
  // now: flat_top_k returns no hit for a query whose squared norm equals zero.
  norms_.resize(query_count);
  for (std::uint64_t q = 0; q < query_count; ++q) {
    const float squared = squared_norm(query(q));
    norms_[q] = norm_from_squared(squared);
    // IEEE equality on purpose: a NaN query is scored, NaN for every row with
    // a positive squared norm.
    if (squared == 0.0f) {
      write(q, {});
    } else {
      scored_.push_back(q);
      scored_norms_.push_back(norms_[q]);
    }
  }
  if (scored_.empty()) return;

  // The pool is created here whatever the size of the input, as flat_top_k
  // does, unless the caller asked for the calling thread alone.
  tasks_ = 1;
  if (batch_.max_tasks != 1) {
    const std::uint64_t workers = pool_worker_count();
    tasks_ = batch_.max_tasks == 0 ? workers : std::min(batch_.max_tasks, workers);
  }

  const bool kept = kk_ * tasks_ <= rows_ / 2;
  const std::uint64_t bytes_per_query = sizeof(ScoredHit) * (kept ? kk_ * tasks_ : rows_);
  plan_tiles(std::clamp<std::uint64_t>(kGroupBytes / bytes_per_query, 1, scored_.size()));
  std::uint64_t first_tile = 0;
  for (const std::uint64_t end_tile : group_ends_) {
    search_group(first_tile, end_tile, kept);
    first_tile = end_tile;
  }
}

}  // namespace

void search_batch(const BatchQuery& batch, BatchResults results) {
  search_batch_with(active_simd_level(), batch, results);
}

void search_batch_with(SimdLevel level, const BatchQuery& batch, BatchResults results) {
  // Before every other test, as in flat_top_k.
  if (batch.dim == 0) panic(kDivideByZero);
  const DefaultFloatEnvironment environment;
  Search(batch, results, level).run();
}

}  // namespace velk

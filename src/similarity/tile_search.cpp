// The search of many queries at once: blocks of rows are packed once and
// scored against tiles of queries with the tile kernels; a query alone in its
// group is searched row by row, as flat_top_k searches it.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "similarity/cosine.h"
#include "similarity/fixed_texts.h"
#include "similarity/float_environment.h"
#include "similarity/panic.h"
#include "similarity/row_search.h"
#include "similarity/search.h"
#include "similarity/simd_kernels.h"
#include "similarity/top_k_collector.h"
#include "similarity/worker_pool.h"

namespace velk {
namespace {

// A block of rows is packed into about this many bytes, which stay in a
// core's L2 cache while every query tile passes over them.
constexpr std::uint64_t kChunkBytes = std::uint64_t{256} << 10;

// Rows per packed block: about kChunkBytes of them, a multiple of the rows the
// kernel scores per step, and no more than all the rows rounded up to one.
std::uint64_t chunk_rows_for(const TileKernel& kernel, std::uint64_t rows, std::uint64_t dim) noexcept {
  const std::uint64_t unit = kernel.lanes * kernel.group_step;
  const std::uint64_t all_rows = (rows + unit - 1) / unit * unit;
  return std::max(unit, std::min(all_rows, kChunkBytes / (dim * sizeof(float)) / unit * unit));
}

// The best hits (or the slots) of the queries searched together take at most
// about this much memory; more queries are searched one group after another.
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

// A lone query with one filter reads either every block of 16 rows that
// keeps a row, in order, or only the kept rows, gathered from where they lie.
// A gathered row costs about kGatherCost (a ratio) rows read in order: on
// 1,000,000 x 768 with two threads on a quiet machine, random filters keeping
// 30%, 50% and 70% of the rows took 0.52, 0.75 and 0.92 of the search of every
// row gathered, while reading their blocks took the whole search from 50% on.
// Rows kept in runs fill their blocks, and are read in order.
constexpr std::uint64_t kGatherCostNumerator = 5;
constexpr std::uint64_t kGatherCostDenominator = 4;

// Blocks of kFilterBlockRows rows that hold at least one of `rows` (ascending).
std::uint64_t blocks_holding(std::span<const std::uint64_t> rows) noexcept {
  std::uint64_t blocks = 0;
  std::uint64_t last = std::numeric_limits<std::uint64_t>::max();
  for (const std::uint64_t row : rows) {
    const std::uint64_t block = row / kFilterBlockRows;
    blocks += static_cast<std::uint64_t>(block != last);
    last = block;
  }
  return blocks;
}

// A range scores at most about this many products (a few milliseconds of
// one core), unless a single tile against a single block is more.
constexpr std::uint64_t kRangeProducts = std::uint64_t{1} << 25;

constexpr std::uint64_t kNoChunk = std::numeric_limits<std::uint64_t>::max();

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

class QuerySetSearch {
 public:
  QuerySetSearch(const QuerySet& set, ResultRows results, SimdLevel level);
  void run();

 private:
  std::span<const float> query(std::uint64_t q) const noexcept { return set_.queries.subspan(q * dim_, dim_); }
  // Rows in block `chunk`: chunk_rows_, or fewer in the last block.
  std::uint64_t rows_in(std::uint64_t chunk) const noexcept {
    return std::min(chunk_rows_, rows_ - chunk * chunk_rows_);
  }
  // The packed form of `rows` rows in a task's buffers: whole lane groups, a
  // multiple of group_step of them.
  PackedRows packed(const TaskState& state, std::uint64_t rows) const noexcept {
    const std::uint64_t groups = (rows + kernel_.lanes - 1) / kernel_.lanes;
    const std::uint64_t step = kernel_.group_step;
    return {state.panel.get(), state.squares.get(), state.roots.get(), (groups + step - 1) / step * step, dim_};
  }
  void write(std::uint64_t q, std::span<const ScoredHit> hits) const noexcept;
  // Searches rows [0, count) of the collection, or the rows numbered
  // numbered_[0 .. count) when numbered_ is set.
  void search_rows_of(std::uint64_t count);
  std::span<const std::uint64_t> candidate_list(std::uint64_t q, std::vector<std::uint64_t>& storage) const;
  void search_each_query();
  bool dense_filters() const noexcept;
  // With a filter per query: whether any query of tiles [first_tile,
  // end_tile) keeps a row of block `chunk`.
  bool any_candidate(std::uint64_t first_tile, std::uint64_t end_tile, std::uint64_t chunk) const noexcept;
  const std::uint8_t* filter_of(std::uint64_t scored) const noexcept {
    return set_.candidates.mask + scored_[scored] * set_.candidates.mask_stride;
  }
  void plan_tiles(std::uint64_t group_queries);
  void search_group(std::uint64_t first_tile, std::uint64_t end_tile);
  void pack_chunk(TaskState& state, std::uint64_t chunk) const noexcept;
  // Scores the state's packed block against tiles [first_tile, end_tile) and
  // offers every score of scored query s to intake_of(s).
  template <class IntakeOf>
  void score_chunk_tiles(TaskState& state, std::uint64_t first_tile, std::uint64_t end_tile,
                         IntakeOf&& intake_of) const;

  const QuerySet& set_;
  ResultRows results_;
  SimdKernels kernels_;
  const TileKernel& kernel_ = kernels_.tiles;
  std::uint64_t dim_;
  std::uint64_t out_width_;  // min(k, rows of the collection): the result rows' width
  // The rows searched: all of them, or the candidates every query shares.
  std::uint64_t rows_ = 0;
  const std::uint64_t* numbered_ = nullptr;  // their row numbers, or nullptr for rows 0 .. rows_ - 1
  std::vector<std::uint64_t> shared_rows_;   // the shared filter's rows
  // Every row is scored in packed blocks, and only those each query's own
  // filter keeps are offered; blocks no query keeps a row of are skipped.
  bool filtered_ = false;
  std::uint64_t width_ = 0;       // min(k, rows_)
  std::uint64_t chunk_rows_ = 0;  // a multiple of lanes * group_step
  std::uint64_t chunks_ = 0;
  std::uint64_t tasks_ = 1;

  std::vector<std::uint64_t> scored_;         // the queries with something to score, in order
  std::vector<float> scored_norms_;           // their norms, in the same order
  std::vector<FlatScoringContext> contexts_;  // and each of them as a single-query search sees it
  std::vector<Tile> tiles_;                   // over scored_
  std::vector<std::uint64_t> group_ends_;     // tiles_ is cut into groups ending at these tiles
  AlignedFloats columns_;                     // tile t's queries column by column, at tiles_[t].first * dim
};

QuerySetSearch::QuerySetSearch(const QuerySet& set, ResultRows results, SimdLevel level)
    : set_(set),
      results_(results),
      kernels_(simd_kernels(level)),
      dim_(set.embeddings.dim),
      out_width_(std::min<std::uint64_t>(set.embeddings.rows, set.k)) {}

void QuerySetSearch::write(std::uint64_t q, std::span<const ScoredHit> hits) const noexcept {
  float* scores = results_.scores + q * out_width_;
  std::int64_t* indices = results_.indices + q * out_width_;
  for (std::uint64_t j = 0; j < out_width_; ++j) {
    const bool found = j < hits.size();
    scores[j] = found ? hits[j].score : -std::numeric_limits<float>::infinity();
    indices[j] = found ? static_cast<std::int64_t>(hits[j].index) : -1;
  }
}

// Tiles of up to max_queries queries that never straddle a group of at most
// group_queries, and the queries' columns in tile order.
void QuerySetSearch::plan_tiles(std::uint64_t group_queries) {
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

void QuerySetSearch::pack_chunk(TaskState& state, std::uint64_t chunk) const noexcept {
  const std::uint64_t rows = rows_in(chunk);
  if (numbered_ != nullptr) {
    // Only the candidates are packed, so a block holds candidates alone.
    kernels_.pack(set_.embeddings.storage, {set_.embeddings.data, rows, dim_, numbered_ + chunk * chunk_rows_},
                  packed(state, rows));
  } else {
    kernels_.pack(set_.embeddings.storage, {set_.embeddings.row(chunk * chunk_rows_), rows, dim_, nullptr},
                  packed(state, rows));
  }
  state.chunk = chunk;
}

template <class IntakeOf>
void QuerySetSearch::score_chunk_tiles(TaskState& state, std::uint64_t first_tile, std::uint64_t end_tile,
                                       IntakeOf&& intake_of) const {
  const std::uint64_t first_row = state.chunk * chunk_rows_;
  const std::uint64_t rows = rows_in(state.chunk);
  const PackedRows block = packed(state, rows);
  for (std::uint64_t t = first_tile; t < end_tile; ++t) {
    const Tile& tile = tiles_[t];
    kernel_.score(block, {columns_.get() + tile.first * dim_, scored_norms_.data() + tile.first, tile.count},
                  state.scores.get(), chunk_rows_);
    for (std::uint64_t j = 0; j < tile.count; ++j) {
      const float* scores = state.scores.get() + j * chunk_rows_;
      TopKCollector::Intake intake = intake_of(tile.first + j);
      if (filtered_) {
        const std::uint8_t* keep = filter_of(tile.first + j) + first_row;
        for (std::uint64_t r = 0; r < rows; ++r) {
          if (keep[r] != 0) intake.offer(first_row + r, scores[r]);
        }
      } else {
        for (std::uint64_t r = 0; r < rows; ++r) intake.offer(first_row + r, scores[r]);
      }
    }
  }
}

void QuerySetSearch::search_group(std::uint64_t first_tile, std::uint64_t end_tile) {
  const std::uint64_t first_query = tiles_[first_tile].first;
  const std::uint64_t queries = tiles_[end_tile - 1].first + tiles_[end_tile - 1].count - first_query;
  if (queries == 1 && filtered_ && set_.candidates.mask_stride == 0) {
    // A dense shared filter: the rows are read where they lie.
    write(scored_[first_query],
          search_filtered_rows(kernels_, contexts_[first_query], set_.candidates.mask, width_, tasks_));
    return;
  }
  if (queries == 1 && filtered_) {
    std::vector<std::uint64_t> storage;
    const std::span<const std::uint64_t> rows = candidate_list(scored_[first_query], storage);
    const std::uint64_t width = std::min<std::uint64_t>(rows.size(), set_.k);
    write(scored_[first_query], width == 0
                                    ? std::vector<ScoredHit>{}
                                    : search_numbered_rows(kernels_, contexts_[first_query], rows, width, tasks_));
    return;
  }
  if (queries == 1) {
    // A lone query has nothing to share a packed block with: it is searched
    // exactly as flat_top_k searches it.
    if (numbered_ != nullptr) {
      write(scored_[first_query],
            search_numbered_rows(kernels_, contexts_[first_query], std::span<const std::uint64_t>(numbered_, rows_),
                                 width_, tasks_));
    } else {
      write(scored_[first_query], search_rows(kernels_, contexts_[first_query], width_, tasks_));
    }
    return;
  }
  const std::uint64_t tile_count = end_tile - first_tile;
  const bool share_queries = chunks_ < kMinChunksPerTask * tasks_ && tile_count >= kMinTilesPerTask * tasks_;
  const std::uint64_t parts = share_queries ? tasks_ : 1;
  // A part's tiles are cut into slices of bounded work, so that a range ends
  // within milliseconds however many queries there are: a stopped call ends
  // at the next range.
  const std::uint64_t tiles_per_slice =
      std::max<std::uint64_t>(1, kRangeProducts / (chunk_rows_ * dim_ * kernel_.max_queries));
  const std::uint64_t slices = blocks_for((tile_count + parts - 1) / parts, tiles_per_slice);
  const std::uint64_t ranges = chunks_ * parts * slices;
  const std::uint64_t tasks = std::min(tasks_, ranges);

  std::vector<TaskState> states(tasks);
  for (TaskState& state : states) {
    state.panel = AlignedFloats(chunk_rows_ * dim_);
    state.squares = AlignedFloats(chunk_rows_);
    state.roots = AlignedFloats(chunk_rows_);
    state.scores = AlignedFloats(kernel_.max_queries * chunk_rows_);
  }
  TopKCollector top_k(std::span<const FlatScoringContext>(contexts_).subspan(first_query, queries), rows_, width_,
                      tasks, numbered_, filtered_);
  // Range (part * chunks + chunk) * slices + slice: with one part, each task
  // takes consecutive blocks of rows, every slice of a block in a row (packed
  // once); with one part per task, each task starts on its own part and helps
  // with the others when it is done. A block in which no query of the part has
  // a candidate is neither packed nor scored.
  run_ranges(ranges, tasks, [&](std::uint64_t task, std::uint64_t range) {
    const std::uint64_t slice = range % slices;
    const std::uint64_t part = range / slices / chunks_;
    const std::uint64_t chunk = range / slices % chunks_;
    TaskState& state = states[task];
    const std::uint64_t part_first = first_tile + part * tile_count / parts;
    const std::uint64_t part_end = first_tile + (part + 1) * tile_count / parts;
    if (filtered_ && !any_candidate(part_first, part_end, chunk)) return;
    if (state.chunk != chunk) pack_chunk(state, chunk);
    const std::uint64_t part_tiles = part_end - part_first;
    score_chunk_tiles(state, part_first + slice * part_tiles / slices, part_first + (slice + 1) * part_tiles / slices,
                      [&](std::uint64_t scored) { return top_k.intake(task, scored - first_query); });
  });
  // A merge of a few best lists is quicker than handing it to a worker; a
  // selection over every row is not.
  run_ranges(queries, top_k.keeps_best() ? 1 : std::min(tasks_, queries), [&](std::uint64_t, std::uint64_t q) {
    std::vector<ScoredHit> hits = top_k.ranked(q);
    // Positions among the candidates back to row numbers.
    if (numbered_ != nullptr) {
      for (ScoredHit& hit : hits) hit.index = numbered_[hit.index];
    }
    write(scored_[first_query + q], hits);
  });
}

void QuerySetSearch::run() {
  const std::uint64_t query_count = set_.queries.size() / dim_;
  if (out_width_ == 0 || query_count == 0) return;

  // Each query's norm once, and the queries with nothing to score answered
  // now: flat_top_k returns no hit for a query whose squared norm equals zero.
  for (std::uint64_t q = 0; q < query_count; ++q) {
    const float squared = squared_norm(query(q));
    // IEEE equality on purpose: a NaN query is scored, NaN for every row with
    // a positive squared norm.
    if (squared == 0.0f) {
      write(q, {});
    } else {
      scored_.push_back(q);
      scored_norms_.push_back(norm_from_squared(squared));
      contexts_.push_back({set_.embeddings, query(q), scored_norms_.back()});
    }
  }
  if (scored_.empty()) return;

  // The pool is created here whatever the size of the input, as flat_top_k
  // does, unless the caller asked for the calling thread alone.
  tasks_ = 1;
  if (set_.threads != 1) {
    const std::uint64_t workers = pool_worker_count(set_.report_pool_failure);
    tasks_ = set_.threads == 0 ? workers : std::min(set_.threads, workers);
  }

  const Candidates& candidates = set_.candidates;
  if (candidates.mask == nullptr && candidates.offsets == nullptr) {
    search_rows_of(set_.embeddings.rows);
    return;
  }
  const bool shared = candidates.mask != nullptr ? candidates.mask_stride == 0 : !candidates.lists_per_query;
  if (!shared && scored_.size() > 1) {
    if (candidates.mask != nullptr && dense_filters()) {
      filtered_ = true;
      search_rows_of(set_.embeddings.rows);
    } else {
      search_each_query();
    }
    return;
  }
  // One set of candidates for every query searched: they are searched as a
  // collection of their own, read in place.
  const std::span<const std::uint64_t> rows = candidate_list(scored_[0], shared_rows_);
  const std::uint64_t all_rows = set_.embeddings.rows;
  if (candidates.mask_stride == 0 && candidates.mask != nullptr && scored_.size() == 1 &&
      blocks_holding(rows) * kFilterBlockRows * kGatherCostDenominator < rows.size() * kGatherCostNumerator) {
    // Fewer rows to read in whole blocks than the gathered rows cost: the
    // kept rows lie in runs, or fill nearly every block.
    filtered_ = true;
    search_rows_of(all_rows);
    return;
  }
  numbered_ = rows.data();
  search_rows_of(rows.size());
}

void QuerySetSearch::search_rows_of(std::uint64_t count) {
  rows_ = count;
  width_ = std::min(rows_, set_.k);
  if (width_ == 0) {
    for (const std::uint64_t q : scored_) write(q, {});
    return;
  }
  chunk_rows_ = chunk_rows_for(kernel_, rows_, dim_);
  chunks_ = blocks_for(rows_, chunk_rows_);
  const std::uint64_t bytes_per_query = TopKCollector::bytes_per_query(width_, tasks_, rows_, filtered_);
  plan_tiles(std::clamp<std::uint64_t>(kGroupBytes / bytes_per_query, 1, scored_.size()));
  std::uint64_t first_tile = 0;
  for (const std::uint64_t end_tile : group_ends_) {
    search_group(first_tile, end_tile);
    first_tile = end_tile;
  }
}

// Query q's candidate rows, ascending: its part of the lists, or the rows its
// filter keeps, gathered into `storage` in one pass over the filter.
std::span<const std::uint64_t> QuerySetSearch::candidate_list(std::uint64_t q,
                                                              std::vector<std::uint64_t>& storage) const {
  const Candidates& candidates = set_.candidates;
  if (candidates.mask == nullptr) {
    const std::uint64_t list = candidates.lists_per_query ? q : 0;
    return {candidates.rows + candidates.offsets[list], candidates.rows + candidates.offsets[list + 1]};
  }
  const std::uint8_t* mask = candidates.mask + q * candidates.mask_stride;
  const std::uint64_t rows = set_.embeddings.rows;
  storage.clear();
  std::uint64_t i = 0;
  // Eight flags at a time: a sparse filter is mostly words of zeros.
  for (; i + 8 <= rows; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, mask + i, sizeof word);
    if (word == 0) continue;
    for (std::uint64_t j = i; j < i + 8; ++j) {
      if (mask[j] != 0) storage.push_back(j);
    }
  }
  for (; i < rows; ++i) {
    if (mask[i] != 0) storage.push_back(i);
  }
  return storage;
}

// Whether the per-query filters keep enough rows that scoring every row in
// packed blocks, for all queries at once, beats searching each query over its
// own rows: a block packed once and scored against many queries costs each
// of them about a twelfth of reading it alone (64 queries in one call ran
// about 12 times faster than 64 single-query calls on 1,000,000 x 768).
bool QuerySetSearch::dense_filters() const noexcept {
  constexpr std::uint64_t kBatchGain = 12;
  const std::uint64_t rows = set_.embeddings.rows;
  std::uint64_t kept = 0;
  for (std::uint64_t s = 0; s < scored_.size(); ++s) {
    const std::uint8_t* keep = filter_of(s);
    for (std::uint64_t i = 0; i < rows; ++i) kept += static_cast<std::uint64_t>(keep[i] != 0);
  }
  return kept * kBatchGain > rows * scored_.size();
}

bool QuerySetSearch::any_candidate(std::uint64_t first_tile, std::uint64_t end_tile,
                                   std::uint64_t chunk) const noexcept {
  const std::uint64_t first_row = chunk * chunk_rows_;
  const std::uint64_t rows = rows_in(chunk);
  const std::uint64_t first = tiles_[first_tile].first;
  const std::uint64_t end = tiles_[end_tile - 1].first + tiles_[end_tile - 1].count;
  for (std::uint64_t s = first; s < end; ++s) {
    if (any_flag(filter_of(s), first_row, first_row + rows)) return true;
  }
  return false;
}

// Each query with candidates of its own: the queries are shared out among the
// tasks, each searched over its candidates alone on the task that takes it.
void QuerySetSearch::search_each_query() {
  std::vector<std::vector<std::uint64_t>> storage(std::min(tasks_, scored_.size()));
  run_ranges(scored_.size(), storage.size(), [&](std::uint64_t task, std::uint64_t s) {
    const std::span<const std::uint64_t> rows = candidate_list(scored_[s], storage[task]);
    const std::uint64_t width = std::min<std::uint64_t>(rows.size(), set_.k);
    if (width == 0) {
      write(scored_[s], {});
    } else {
      write(scored_[s], search_numbered_rows(kernels_, contexts_[s], rows, width, 1));
    }
  });
}

}  // namespace

void search_queries(const QuerySet& set, ResultRows results) { search_queries_with(active_simd_level(), set, results); }

void search_queries_with(SimdLevel level, const QuerySet& set, ResultRows results) {
  // Before every other test, as in flat_top_k.
  if (set.embeddings.dim == 0) panic(kDivideByZero);
  const DefaultFloatEnvironment environment;
  if (set.stop_check == nullptr) {
    QuerySetSearch(set, results, level).run();
    return;
  }
  const StopCheckScope scope(*set.stop_check);
  QuerySetSearch(set, results, level).run();
}

}  // namespace velk

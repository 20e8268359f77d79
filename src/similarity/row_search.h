// The search of one query, row by row: how it cuts a collection into ranges
// of rows for the worker pool's tasks, and the search itself.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "similarity/fixed_texts.h"
#include "similarity/panic.h"
#include "similarity/row_scoring.h"

namespace velk {

// The number of blocks of `size` (at least 1) that `count` items fill, the
// last one possibly in part.
constexpr std::uint64_t blocks_for(std::uint64_t count, std::uint64_t size) noexcept {
  return count / size + static_cast<std::uint64_t>(count % size != 0);
}

class RowRanges {
 public:
  // `dim` at least 1.
  RowRanges(std::uint64_t rows, std::uint64_t dim) noexcept
      : rows_(rows),
        blocks_(blocks_for(rows, kRowsPerBlock)),
        blocks_per_range_(blocks_per_range(rows, dim)),
        count_(blocks_for(blocks_, blocks_per_range_)) {}

  std::uint64_t count() const noexcept { return count_; }

  // The rows [begin, end) of a range; a range beyond the blocks is a broken split.
  std::pair<std::uint64_t, std::uint64_t> rows(std::uint64_t range) const {
    const std::uint64_t first_block = range * blocks_per_range_;
    const std::uint64_t end_block = std::min(first_block + blocks_per_range_, blocks_);
    if (first_block >= end_block) panic(kTooManyValues);
    return {first_block * kRowsPerBlock, std::min(end_block * kRowsPerBlock, rows_)};
  }

 private:
  // About this many floats per range: enough arithmetic to pay for handing a
  // range to another thread, small enough to balance the load on long inputs.
  static constexpr std::uint64_t kFloatsPerRange = std::uint64_t{1} << 15;
  // A large input is cut into larger ranges, of up to this many floats but
  // still about 64 of them: each range is a new start for the streams a worker
  // reads. On an input read from memory, ranges of 2^18 floats scored 1,000,000
  // rows of 768 about 7% faster than ranges of 2^15, and ranges of 2^20 int8 and
  // bfloat16 rows about 5-8% faster again; 64 ranges still balance two workers.
  // Smaller inputs keep the small ranges, for balance.
  static constexpr std::uint64_t kMaxFloatsPerRange = std::uint64_t{1} << 20;
  static constexpr std::uint64_t kMinRanges = 64;
  // Rows are handed out in blocks as wide as the widest group of rows the
  // scorers compute side by side, so that only the very last range can end in
  // a partly filled group; a range of 21 rows would otherwise cost two groups
  // of 16.
  static constexpr std::uint64_t kRowsPerBlock = 16;

  static std::uint64_t blocks_per_range(std::uint64_t rows, std::uint64_t dim) noexcept {
    const std::uint64_t floats = std::clamp(rows * dim / kMinRanges, kFloatsPerRange, kMaxFloatsPerRange);
    return std::max<std::uint64_t>(1, floats / dim / kRowsPerBlock);
  }

  std::uint64_t rows_;
  std::uint64_t blocks_;
  std::uint64_t blocks_per_range_;
  std::uint64_t count_;
};

// The best `width` (1 <= width <= rows) rows of the context for its query,
// ranked, scored with `kernels` by at most `tasks` (at least 1) tasks; more
// than one run on the worker pool, one runs on the calling thread. The query
// must have a positive or NaN squared norm.
std::vector<ScoredHit> search_rows(const SimdKernels& kernels, const FlatScoringContext& context, std::uint64_t width,
                                   std::uint64_t tasks);

// The same over the rows numbered `rows` alone (ascending, none twice, each a
// row of the context), 1 <= width <= rows.size(): exactly what search_rows
// gives for a copy of those rows, with the copy's indices mapped back to row
// numbers. Only those rows are read.
std::vector<ScoredHit> search_numbered_rows(const SimdKernels& kernels, const FlatScoringContext& context,
                                            std::span<const std::uint64_t> rows, std::uint64_t width,
                                            std::uint64_t tasks);

// Whether any of the flags [begin, end) is nonzero, tested eight at a time:
// most blocks of a sparse filter keep nothing, and this test is then all they
// cost.
bool any_flag(const std::uint8_t* flags, std::uint64_t begin, std::uint64_t end) noexcept;

// The rows a filtered search reads whole when any of them is kept: the widest
// lane group.
constexpr std::uint64_t kFilterBlockRows = 16;

// The same over the rows whose keep flag is nonzero (keep has a flag per row
// of the context), reading them where they are: each block of
// kFilterBlockRows rows that keeps any is scored whole, and only its kept rows
// are ranked. Faster than gathering the rows when the kept rows lie in runs or
// fill nearly every block.
std::vector<ScoredHit> search_filtered_rows(const SimdKernels& kernels, const FlatScoringContext& context,
                                            const std::uint8_t* keep, std::uint64_t width, std::uint64_t tasks);

}  // namespace velk

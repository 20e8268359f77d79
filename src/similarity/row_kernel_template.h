// The loop of every SIMD row kernel, written once over a traits type that
// describes one instruction set.
//
// A group of kLanes rows is scored side by side, one row per lane. A block of
// kLanes columns of the group is loaded row by row and transposed in registers,
// so that register j holds column j of every row; each lane then adds that
// column's products to its own row's sums, in element order, rounding each
// product before it is added. That is the scalar loop's arithmetic, lane by lane.
//
// Only the files that instantiate this loop include it, each compiled for its
// own instruction set. So everything here has internal linkage and nothing from
// the standard library is used: a function with external linkage compiled for
// AVX-512 in one file (an inline helper, a template instance) could be picked by
// the linker for the whole program and then run on a processor without AVX-512.
// Each file exports one plain entry function and nothing else.
//
// The traits type T is described in simd_traits.h.
#pragma once

#include <cstdint>

#include "similarity/simd_kernels.h"
#include "similarity/simd_traits.h"

namespace velk {
namespace {

// Columns per wide block of values E: an instruction set may load kLanes rows
// of a whole cache line each (T::load_wide), transpose them as 32-bit units
// (fewer shuffles per value than transposing widened floats), and widen the
// values of each unit after that (T::widen_units: out[s] holds column
// kLanes-unit k's s-th value of every row). 0 where it does not.
template <class T, class E>
constexpr std::uint64_t wide_columns() noexcept {
  if constexpr (requires { T::wide_columns(static_cast<const E*>(nullptr)); }) {
    return T::wide_columns(static_cast<const E*>(nullptr));
  } else {
    return 0;
  }
}

// Whether T sums the squares of wide blocks of E as integers (T::Integers,
// integer_zero, add_unit_squares, squares_of, any_at_least). They are summed
// so while every row's sum stays within 2^24, where the float chain of the
// scalar loop is exact too (add_wide_blocks_integer_squares).
template <class T, class E>
constexpr bool has_integer_squares() noexcept {
  if constexpr (wide_columns<T, E>() == 0) {
    return false;
  } else {
    return requires(T::Vector v, T::Integers(&sums)[2]) {
      T::add_unit_squares(static_cast<const E*>(nullptr), v, sums);
    };
  }
}

// Whether T also widens the values of those wide blocks times 2^24
// (T::widen_units_scaled), for fewer operations, to be multiplied by the query
// times 2^-24. Each product is then the very same real number, rounded the
// same way, as long as the scaled query is exact (scale_query), and a query of
// up to kScaledQueryColumns values is scaled on the stack.
template <class T, class E>
constexpr bool has_scaled_widening() noexcept {
  if constexpr (!has_integer_squares<T, E>()) {
    return false;
  } else {
    return requires(T::Vector v, T::Vector(&out)[4]) { T::widen_units_scaled(static_cast<const E*>(nullptr), v, out); };
  }
}
inline constexpr std::uint64_t kScaledQueryColumns = 4096;

// Whether T scores two lane groups side by side over paired blocks of E
// (T::paired_columns, T::load_paired: kLanes rows of paired_columns values,
// transposed as 32-bit units, one unit of every row per register), summing
// the squares in floats. Where values are this narrow, a single group waits
// on its one add chain per row; two groups keep two chains in flight on the
// same instructions.
template <class T, class E>
constexpr bool has_paired_groups() noexcept {
  if constexpr (wide_columns<T, E>() == 0 || has_integer_squares<T, E>()) {
    return false;
  } else {
    return requires { T::paired_columns(static_cast<const E*>(nullptr)); };
  }
}

// Whether T also widens the values of paired blocks of E times 2^24
// (T::widen_units_scaled), for the query times 2^-24 (scale_query), as
// has_scaled_widening does for wide blocks.
template <class T, class E>
constexpr bool has_paired_scaled_widening() noexcept {
  if constexpr (!has_paired_groups<T, E>()) {
    return false;
  } else {
    return requires(T::Vector v, T::Vector(&out)[4]) { T::widen_units_scaled(static_cast<const E*>(nullptr), v, out); };
  }
}

// Whether T sums the squares of paired blocks of E as integers while that is
// exact, as add_wide_blocks_integer_squares does for wide blocks (T::Integers,
// integer_zero, paired_unit_squares, paired_squares_of, any_at_least): one
// 32-bit sum per row.
template <class T, class E>
constexpr bool has_paired_integer_squares() noexcept {
  if constexpr (!has_paired_groups<T, E>()) {
    return false;
  } else {
    return requires(T::Vector v, T::Integers& sums) {
      T::paired_unit_squares(static_cast<const E*>(nullptr), v, sums);
    };
  }
}

// scaled[i] = query[i] * 2^-24 for i < length; whether every one is exact,
// so that scaling it back gives query[i]: true unless some value is a NaN, or
// nonzero and below 2^-102 in magnitude (its scaled value would lose bits).
inline bool scale_query(const float* query, std::uint64_t length, float* scaled) noexcept {
  constexpr float kDown = 1.0f / 16777216.0f;
  constexpr float kUp = 16777216.0f;
  bool exact = true;
  for (std::uint64_t i = 0; i < length; ++i) {
    scaled[i] = query[i] * kDown;
    exact = exact && scaled[i] * kUp == query[i];
  }
  return exact;
}

// 2^24: every integer up to it is a float, and so is every sum of them that
// stays within it.
inline constexpr std::uint64_t kExactIntegers = std::uint64_t{1} << 24;

// The bounds of summing the squares of 8-bit values E as integers in blocks of
// Columns columns.
template <class E, std::uint64_t Columns>
struct IntegerSquares {
  static constexpr std::uint64_t kLargestSquare = static_cast<E>(-1) < 0 ? 128 * 128 : 255 * 255;
  // A block that ends by kUnchecked columns cannot take any row past 2^24.
  static constexpr std::uint64_t kUnchecked = kExactIntegers / kLargestSquare;
  // From this sum on, the next block could take a row past 2^24.
  static constexpr auto kUnsafeSum = static_cast<float>(kExactIntegers - Columns * kLargestSquare + 1);
};

template <class T>
struct Sums {
  T::Vector dot;
  T::Vector squares;
};

template <class T>
inline void add_products(Sums<T>& sums, typename T::Vector x, typename T::Vector q) noexcept {
  sums.dot = T::add(sums.dot, T::mul(x, q));
  sums.squares = T::add(sums.squares, T::mul(x, x));
}

template <class T>
inline void add_squares(Sums<T>& sums, typename T::Vector x) noexcept {
  sums.squares = T::add(sums.squares, T::mul(x, x));
}

// kLanes values of each row from `column` on, transposed. Each load also asks
// for the same place in its lane's next row, next[r] (score_lane_groups).
template <class T, class E>
inline void load_block(const E* const (&rows)[T::kLanes], std::uint64_t column, const E* const (&next)[T::kLanes],
                       typename T::Vector (&x)[T::kLanes]) noexcept {
  const bool prefetch = T::kPrefetch && starts_line<E>(column, T::kLanes);
  for (int r = 0; r < T::kLanes; ++r) {
    if (prefetch) __builtin_prefetch(next[r] + column, 0, 2);
    x[r] = T::load(rows[r] + column);
  }
  T::transpose(x);
}

// A partial block of `width` columns: nothing past the rows' ends is read.
template <class T, class E>
inline void load_partial_block(const E* const (&rows)[T::kLanes], std::uint64_t column, std::uint64_t width,
                               typename T::Vector (&x)[T::kLanes]) noexcept {
  for (int r = 0; r < T::kLanes; ++r) x[r] = T::load_first(rows[r] + column, width);
  T::transpose(x);
}

// Adds wide blocks from column c on while they end by `end` (dot_length with
// the query's products, dim for squares alone) and returns the column after
// the last; c itself without wide blocks. With Scaled, the values are widened
// times 2^24 and `query` is the scaled query; their squares are then the
// squares times 2^48, and so is every float sum of them, exactly (powers of
// two scale every rounding alike, and these sums stay far from overflow).
template <class T, class E, bool WithQuery, bool Scaled = false>
std::uint64_t add_wide_blocks(Sums<T>& sums, const E* const (&rows)[T::kLanes], const float* query, std::uint64_t c,
                              std::uint64_t end, const E* const (&next)[T::kLanes]) noexcept {
  constexpr std::uint64_t kWide = wide_columns<T, E>();
  if constexpr (kWide != 0) {
    constexpr std::uint64_t kPerUnit = kWide / T::kLanes;
    if constexpr (Scaled) sums.squares = T::mul(sums.squares, T::broadcast(0x1p48f));
    typename T::Vector x[T::kLanes];
    for (; c + kWide <= end; c += kWide) {
      T::load_wide(rows, c, next, x);
      for (std::uint64_t k = 0; k < T::kLanes; ++k) {
        typename T::Vector v[kPerUnit];
        if constexpr (Scaled) {
          T::widen_units_scaled(rows[0], x[k], v);
        } else {
          T::widen_units(rows[0], x[k], v);
        }
        for (std::uint64_t u = 0; u < kPerUnit; ++u) {
          if constexpr (WithQuery) {
            add_products(sums, v[u], T::broadcast(query[c + k * kPerUnit + u]));
          } else {
            add_squares(sums, v[u]);
          }
        }
      }
    }
    if constexpr (Scaled) sums.squares = T::mul(sums.squares, T::broadcast(0x1p-48f));
  }
  return c;
}

// add_wide_blocks with the query's products from column 0, the squares summed
// as integers while that is exact: while no row's sum can pass 2^24 within
// the next block. From the first block where one could, the squares go on in
// floats from the integer total, as the scalar loop's chain does. With Scaled,
// as for add_wide_blocks.
template <class T, class E, bool Scaled>
std::uint64_t add_wide_blocks_integer_squares(Sums<T>& sums, const E* const (&rows)[T::kLanes], const float* query,
                                              std::uint64_t end, const E* const (&next)[T::kLanes]) noexcept {
  constexpr std::uint64_t kWide = wide_columns<T, E>();
  constexpr std::uint64_t kPerUnit = kWide / T::kLanes;
  using Bounds = IntegerSquares<E, kWide>;
  typename T::Vector x[T::kLanes];
  typename T::Integers squares[2] = {T::integer_zero(), T::integer_zero()};
  std::uint64_t c = 0;
  for (; c + kWide <= end; c += kWide) {
    if (c + kWide > Bounds::kUnchecked && T::any_at_least(T::squares_of(rows[0], squares), Bounds::kUnsafeSum)) {
      break;
    }
    T::load_wide(rows, c, next, x);
    for (std::uint64_t k = 0; k < T::kLanes; ++k) {
      T::add_unit_squares(rows[0], x[k], squares);
      typename T::Vector v[kPerUnit];
      if constexpr (Scaled) {
        T::widen_units_scaled(rows[0], x[k], v);
      } else {
        T::widen_units(rows[0], x[k], v);
      }
      for (std::uint64_t u = 0; u < kPerUnit; ++u) {
        sums.dot = T::add(sums.dot, T::mul(v[u], T::broadcast(query[c + k * kPerUnit + u])));
      }
    }
  }
  if (c != 0) sums.squares = T::squares_of(rows[0], squares);
  return add_wide_blocks<T, E, true, Scaled>(sums, rows, query, c, end, next);
}

// Value u of each row of a paired block's unit, widened, times 2^24 with
// Scaled. Each value is widened where it is used: the compiler drops the
// others, and only two widened values are live at a time.
template <class T, class E, bool Scaled>
inline T::Vector widened_value(typename T::Vector unit, std::uint64_t u) noexcept {
  typename T::Vector v[wide_columns<T, E>() / T::kLanes];
  if constexpr (Scaled) {
    T::widen_units_scaled(static_cast<const E*>(nullptr), unit, v);
  } else {
    T::widen_units(static_cast<const E*>(nullptr), unit, v);
  }
  return v[u];
}

// Paired blocks from column c on for two lane groups g at once, rows[g],
// while they end by `end`, with the query's products; returns the column after
// the last. The two groups' operations are interleaved value by value, each
// group's in its own order. With Scaled, the values are widened times 2^24 and
// `query` is the scaled query, as in add_wide_blocks.
template <class T, class E, bool Scaled = false>
std::uint64_t add_paired_blocks(Sums<T> (&sums)[2], const E* const (&rows)[2][T::kLanes], const float* query,
                                std::uint64_t c, std::uint64_t end, const E* const (&next)[2][T::kLanes]) noexcept {
  constexpr std::uint64_t kPaired = T::paired_columns(static_cast<const E*>(nullptr));
  constexpr std::uint64_t kPerUnit = wide_columns<T, E>() / T::kLanes;
  constexpr std::uint64_t kUnits = kPaired / kPerUnit;
  if constexpr (Scaled) {
    for (Sums<T>& s : sums) s.squares = T::mul(s.squares, T::broadcast(0x1p48f));
  }
  typename T::Vector x[2][kUnits];
  for (; c + kPaired <= end; c += kPaired) {
    T::load_paired(rows[0], c, next[0], x[0]);
    T::load_paired(rows[1], c, next[1], x[1]);
    for (std::uint64_t k = 0; k < kUnits; ++k) {
      for (std::uint64_t u = 0; u < kPerUnit; ++u) {
        const typename T::Vector q = T::broadcast(query[c + k * kPerUnit + u]);
        for (int g = 0; g < 2; ++g) add_products(sums[g], widened_value<T, E, Scaled>(x[g][k], u), q);
      }
    }
  }
  if constexpr (Scaled) {
    for (Sums<T>& s : sums) s.squares = T::mul(s.squares, T::broadcast(0x1p-48f));
  }
  return c;
}

// add_paired_blocks from column 0 with the squares summed as integers while
// that is exact: while no row's sum can pass 2^24 within the next block, as
// in add_wide_blocks_integer_squares. Returns the column after the last
// block, where the float squares go on from the integer totals.
template <class T, class E, bool Scaled>
std::uint64_t add_paired_blocks_integer_squares(Sums<T> (&sums)[2], const E* const (&rows)[2][T::kLanes],
                                                const float* query, std::uint64_t end,
                                                const E* const (&next)[2][T::kLanes]) noexcept {
  constexpr std::uint64_t kPaired = T::paired_columns(static_cast<const E*>(nullptr));
  constexpr std::uint64_t kPerUnit = wide_columns<T, E>() / T::kLanes;
  constexpr std::uint64_t kUnits = kPaired / kPerUnit;
  using Bounds = IntegerSquares<E, kPaired>;
  typename T::Integers squares[2] = {T::integer_zero(), T::integer_zero()};
  typename T::Vector x[2][kUnits];
  const auto unsafe = [&rows](const T::Integers& sum) {
    return T::any_at_least(T::paired_squares_of(rows[0][0], sum), Bounds::kUnsafeSum);
  };
  std::uint64_t c = 0;
  for (; c + kPaired <= end; c += kPaired) {
    if (c + kPaired > Bounds::kUnchecked && (unsafe(squares[0]) || unsafe(squares[1]))) break;
    T::load_paired(rows[0], c, next[0], x[0]);
    T::load_paired(rows[1], c, next[1], x[1]);
    for (std::uint64_t k = 0; k < kUnits; ++k) {
      for (int g = 0; g < 2; ++g) T::paired_unit_squares(rows[0][0], x[g][k], squares[g]);
      for (std::uint64_t u = 0; u < kPerUnit; ++u) {
        const typename T::Vector q = T::broadcast(query[c + k * kPerUnit + u]);
        for (int g = 0; g < 2; ++g) {
          sums[g].dot = T::add(sums[g].dot, T::mul(widened_value<T, E, Scaled>(x[g][k], u), q));
        }
      }
    }
  }
  if (c != 0) {
    for (int g = 0; g < 2; ++g) sums[g].squares = T::paired_squares_of(rows[0][0], squares[g]);
  }
  return c;
}

// The columns of a row_sums from c on, where its wide blocks with the query's
// products ended; the squares so far in floats.
template <class T, class E>
Sums<T> finish_row_sums(Sums<T> sums, std::uint64_t c, const E* const (&rows)[T::kLanes], const float* query,
                        std::uint64_t dim, std::uint64_t dot_length, const E* const (&next)[T::kLanes]) noexcept {
  constexpr std::uint64_t kLanes = T::kLanes;
  typename T::Vector x[kLanes];
  for (; c + kLanes <= dot_length; c += kLanes) {
    load_block<T, E>(rows, c, next, x);
    for (std::uint64_t j = 0; j < kLanes; ++j) add_products(sums, x[j], T::broadcast(query[c + j]));
  }
  // The block where the query ends, if it ends inside the rows.
  if (c < dot_length) {
    const std::uint64_t width = dim - c < kLanes ? dim - c : kLanes;
    if (width == kLanes) {
      load_block<T, E>(rows, c, next, x);
    } else {
      load_partial_block<T, E>(rows, c, width, x);
    }
    const std::uint64_t with_query = dot_length - c;
    for (std::uint64_t j = 0; j < width; ++j) {
      if (j < with_query) {
        add_products(sums, x[j], T::broadcast(query[c + j]));
      } else {
        add_squares(sums, x[j]);
      }
    }
    c += width;
  }
  // Columns beyond the query count only in the row's norm.
  c = add_wide_blocks<T, E, false>(sums, rows, query, c, dim, next);
  for (; c + kLanes <= dim; c += kLanes) {
    load_block<T, E>(rows, c, next, x);
    for (std::uint64_t j = 0; j < kLanes; ++j) add_squares(sums, x[j]);
  }
  if (c < dim) {
    const std::uint64_t width = dim - c;
    load_partial_block<T, E>(rows, c, width, x);
    for (std::uint64_t j = 0; j < width; ++j) add_squares(sums, x[j]);
  }
  return sums;
}

// How row_sums sums the squares of wide blocks: in floats, or as integers
// while that is exact (add_wide_blocks_integer_squares), with the values
// widened times 2^24 for the scaled query or not.
enum class WideSquares : std::uint8_t { floats, integers, integers_scaled };

// `scaled_query` is read with WideSquares::integers_scaled alone.
template <class T, class E, WideSquares Squares = WideSquares::floats>
Sums<T> row_sums(const E* const (&rows)[T::kLanes], const float* query, std::uint64_t dim, std::uint64_t dot_length,
                 const E* const (&next)[T::kLanes], const float* scaled_query = nullptr) noexcept {
  Sums<T> sums{T::broadcast(-0.0f), T::broadcast(-0.0f)};
  // Wide blocks first, where the instruction set has them for these values:
  // the same columns in the same order, for fewer shuffles.
  std::uint64_t c = 0;
  if constexpr (Squares == WideSquares::integers_scaled) {
    c = add_wide_blocks_integer_squares<T, E, true>(sums, rows, scaled_query, dot_length, next);
  } else if constexpr (Squares == WideSquares::integers) {
    c = add_wide_blocks_integer_squares<T, E, false>(sums, rows, query, dot_length, next);
  } else {
    c = add_wide_blocks<T, E, true>(sums, rows, query, 0, dot_length, next);
  }
  return finish_row_sums<T, E>(sums, c, rows, query, dim, dot_length, next);
}

// Paired blocks from column 0 with the query's products, their squares as
// integers first where T sums them so (has_paired_integer_squares), then in
// floats; with Scaled, through the scaled query.
template <class T, class E, bool Scaled>
std::uint64_t add_all_paired_blocks(Sums<T> (&sums)[2], const E* const (&rows)[2][T::kLanes], const float* query,
                                    std::uint64_t end, const E* const (&next)[2][T::kLanes]) noexcept {
  std::uint64_t c = 0;
  if constexpr (has_paired_integer_squares<T, E>()) {
    c = add_paired_blocks_integer_squares<T, E, Scaled>(sums, rows, query, end, next);
  }
  return add_paired_blocks<T, E, Scaled>(sums, rows, query, c, end, next);
}

// The sums of two lane groups, rows[0] and rows[1], over paired blocks first
// (add_all_paired_blocks), through `scaled_query` where it is not nullptr
// (has_paired_scaled_widening).
template <class T, class E>
void paired_row_sums(const E* const (&rows)[2][T::kLanes], const float* query, std::uint64_t dim,
                     std::uint64_t dot_length, const E* const (&next)[2][T::kLanes], const float* scaled_query,
                     Sums<T> (&sums)[2]) noexcept {
  sums[0] = sums[1] = Sums<T>{T::broadcast(-0.0f), T::broadcast(-0.0f)};
  std::uint64_t c = 0;
  if constexpr (has_paired_scaled_widening<T, E>()) {
    c = scaled_query != nullptr ? add_all_paired_blocks<T, E, true>(sums, rows, scaled_query, dot_length, next)
                                : add_all_paired_blocks<T, E, false>(sums, rows, query, dot_length, next);
  } else {
    c = add_all_paired_blocks<T, E, false>(sums, rows, query, dot_length, next);
  }
  sums[0] = finish_row_sums<T, E>(sums[0], c, rows[0], query, dim, dot_length, next[0]);
  sums[1] = finish_row_sums<T, E>(sums[1], c, rows[1], query, dim, dot_length, next[1]);
}

// The sums of one lane group: with integer squares where the instruction set
// has them. `scaled_query` is the query times 2^-24 where T widens values
// scaled and that is exact (has_scaled_widening, scale_query), nullptr
// otherwise.
template <class T, class E>
Sums<T> group_sums(const RowRun& run, const E* const (&rows)[T::kLanes], const E* const (&next)[T::kLanes],
                   const float* scaled_query) noexcept {
  if constexpr (has_integer_squares<T, E>()) {
    if (scaled_query != nullptr) {
      return row_sums<T, E, WideSquares::integers_scaled>(rows, run.query, run.dim, run.dot_length, next, scaled_query);
    }
    return row_sums<T, E, WideSquares::integers>(rows, run.query, run.dim, run.dot_length, next);
  } else {
    return row_sums<T, E>(rows, run.query, run.dim, run.dot_length, next);
  }
}

// The rows of a step of score_steps: the kGroups rows of each lane r from
// place `first` of its stretch on, at[g][r] their numbers in the run. With
// two groups, lane r's rows are neighbours, so each lane still reads one
// sequential stream.
template <class T, class E, int kGroups>
struct StepRows {
  std::uint64_t at[kGroups][T::kLanes]{};
  const E* rows[kGroups][T::kLanes]{};
  // Each load asks for the same place in its lane's next row, into the
  // second-level cache, since a group of long rows would not fit the first.
  const E* next[kGroups][T::kLanes]{};

  StepRows(const RowRun& run, const std::uint64_t (&start)[T::kLanes], const std::uint64_t (&length)[T::kLanes],
           std::uint64_t first) noexcept {
    const E* const base = static_cast<const E*>(run.first_row);
    const auto row = [&run, base](std::uint64_t number) {
      return base + (run.row_numbers != nullptr ? run.row_numbers[number] : number) * run.dim;
    };
    for (int g = 0; g < kGroups; ++g) {
      const std::uint64_t place = first + static_cast<std::uint64_t>(g);
      for (std::uint64_t r = 0; r < T::kLanes; ++r) {
        // A lane past its stretch repeats lane 0's first row of the step,
        // computed and dropped.
        at[g][r] = place < length[r] ? start[r] + place : start[0] + first;
        rows[g][r] = row(at[g][r]);
        next[g][r] = place + kGroups < length[r] ? row(at[g][r] + kGroups) : rows[g][r];
      }
    }
  }
};

// score = dot / (sqrt(squares) * query_norm) where squares > 0, else +0.0,
// into out for the lanes whose stretch reaches `place`.
template <class T>
void store_scores(const RowRun& run, const Sums<T>& sums, const std::uint64_t (&at)[T::kLanes],
                  const std::uint64_t (&length)[T::kLanes], std::uint64_t place) noexcept {
  const typename T::Vector denominator = T::mul(T::sqrt(sums.squares), T::broadcast(run.query_norm));
  const typename T::Vector scores = T::zero_unless_positive(sums.squares, T::div(sums.dot, denominator));
  float lanes[T::kLanes];
  T::store(lanes, scores);
  // Lengths never grow with r.
  for (std::uint64_t r = 0; r < T::kLanes && place < length[r]; ++r) {
    run.out[at[r]].index = run.row_numbers != nullptr ? run.row_numbers[at[r]] : run.first_index + at[r];
    run.out[at[r]].score = lanes[r];
  }
}

// The steps of score_lane_groups, kGroups rows of each lane a step (two where
// T pairs groups of E); `scaled_query` as for group_sums.
template <class T, class E, int kGroups>
void score_steps(const RowRun& run, const std::uint64_t (&start)[T::kLanes], const std::uint64_t (&length)[T::kLanes],
                 const float* scaled_query) noexcept {
  // Lane 0's stretch is the longest.
  for (std::uint64_t first = 0; first < length[0]; first += kGroups) {
    const StepRows<T, E, kGroups> step(run, start, length, first);
    if constexpr (kGroups == 2) {
      Sums<T> sums[2];
      paired_row_sums<T, E>(step.rows, run.query, run.dim, run.dot_length, step.next, scaled_query, sums);
      store_scores<T>(run, sums[0], step.at[0], length, first);
      store_scores<T>(run, sums[1], step.at[1], length, first + 1);
    } else {
      store_scores<T>(run, group_sums<T, E>(run, step.rows[0], step.next[0], scaled_query), step.at[0], length, first);
    }
  }
}

// Element type E is how the run's values are stored; each is widened to
// float32 as it is loaded.
template <class T, class E>
void score_lane_groups(const RowRun& run) noexcept {
  constexpr std::uint64_t kLanes = T::kLanes;
  // Lane r scores a stretch of its own, the rows start[r] .. start[r] +
  // length[r] - 1, one row a step (two neighbouring rows where T pairs lane
  // groups, has_paired_groups): so each lane reads one long sequential
  // stream, which the prefetchers follow, where kLanes neighbouring rows a
  // step would make kLanes short streams side by side, restarting every step.
  // The first `extra` lanes take one row more.
  const std::uint64_t share = run.rows / kLanes;
  const std::uint64_t extra = run.rows % kLanes;
  std::uint64_t start[kLanes];
  std::uint64_t length[kLanes];
  for (std::uint64_t r = 0; r < kLanes; ++r) {
    length[r] = share + (r < extra ? 1 : 0);
    start[r] = r * share + (r < extra ? r : extra);
  }
  if constexpr (has_scaled_widening<T, E>() || has_paired_scaled_widening<T, E>()) {
    // The query times 2^-24, where it is exact.
    float scaled[kScaledQueryColumns];
    const bool exact = run.dot_length <= kScaledQueryColumns && scale_query(run.query, run.dot_length, scaled);
    score_steps<T, E, has_paired_groups<T, E>() ? 2 : 1>(run, start, length, exact ? scaled : nullptr);
  } else {
    score_steps<T, E, has_paired_groups<T, E>() ? 2 : 1>(run, start, length, nullptr);
  }
}

}  // namespace
}  // namespace velk

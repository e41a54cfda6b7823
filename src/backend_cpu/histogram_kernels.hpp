// The inner loops of histogram building. Both loops add a row's gradient pair to a bin in the
// order of the node's row list, so for any one feature and bin the float32 sums are the same
// whichever loop built them.
#pragma once

#include <algorithm>
#include <bit>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include "backend_cpu/arena.hpp"
#include "core/histogram.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu {

// The arena must stay small enough to live in the core's cache: histograms of more bins are
// built with the per-feature loop.
inline constexpr std::size_t kArenaMaxBins = 511;

// 8-bit codes can take 256 values: an arena this wide holds every one of them, so the loop
// needs no per-code test.
inline constexpr std::size_t kU8CodeValues = 256;
// The stride of that arena: four cells (one cache line) more than the codes need, so that the
// same code in neighbouring features does not sit at addresses 4 KiB apart, which the core
// would mistake for a dependence between the store of one and the load of the next.
inline constexpr std::size_t kU8ArenaStride = kU8CodeValues + 4;

namespace detail {

[[noreturn]] inline void bad_row(std::uint32_t row, std::size_t row_limit) {
  support::panic("histogram row " + std::to_string(row) + " is outside the " + std::to_string(row_limit) +
                 " rows the gradients and bin codes cover");
}

[[noreturn]] inline void bad_code(std::size_t code, std::size_t feature, std::size_t bin_count) {
  support::panic("histogram bin code " + std::to_string(code) + " of feature " + std::to_string(feature) +
                 " is not below the bin count " + std::to_string(bin_count));
}

}  // namespace detail

// One row's addition to a cell: the four lanes (gradient, hessian, squared gradient, 1) at once.
#if defined(__SSE2__)
using RowIncrement = __m128;

// The pair is read as one 8-byte load and squared lane-wise: five instructions where building
// the lanes one float at a time takes seven, and this runs once per row and feature group.
template <typename Pair>
inline RowIncrement row_increment(const Pair& pair) {
  static_assert(sizeof(Pair) == 2 * sizeof(float) && offsetof(Pair, grad) == 0 && offsetof(Pair, hess) == sizeof(float));
  const __m128 grad_hess = _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(&pair)));  // g, h, 0, 0
  const __m128 squares = _mm_mul_ps(grad_hess, grad_hess);                                  // g*g, h*h, 0, 0
  return _mm_movelh_ps(grad_hess, _mm_unpacklo_ps(squares, _mm_set1_ps(1.0f)));             // g, h, g*g, 1
}

inline void add_row_to_cell(ArenaCell* cell, RowIncrement increment) {
  float* lanes = &cell->grad_sum;
  _mm_store_ps(lanes, _mm_add_ps(_mm_load_ps(lanes), increment));
}
#else
using RowIncrement = ArenaCell;

template <typename Pair>
inline RowIncrement row_increment(const Pair& pair) {
  return {pair.grad, pair.hess, pair.grad * pair.grad, 1.0f};
}

inline void add_row_to_cell(ArenaCell* cell, RowIncrement increment) {
  cell->grad_sum += increment.grad_sum;
  cell->hess_sum += increment.hess_sum;
  cell->grad_sq_sum += increment.grad_sq_sum;
  cell->count += increment.count;
}
#endif

namespace detail {

inline constexpr std::size_t kPrefetchRows = 16;

#if defined(__SSE2__)
inline void prefetch(const void* address) { _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0); }
#else
inline void prefetch(const void*) {}
#endif

// Calls visit(k, code) for the codes row[start + k], k in [0, width), of a row of row_length
// codes, reading them eight bytes at a time. Some cores hold every load back until the
// addresses of all older stores are known; a load per code would then wait for the previous
// code's cell store, whose address comes from the previous load, and the row's additions would
// run one memory round trip apart. Words read before the row's stores leave only the cell
// loads, whose addresses are ready. A word never reaches past the row: near its end it is read
// from the row's last eight bytes.
template <typename Code, typename Visit>
inline void for_each_row_code(const Code* row, std::size_t row_length, std::size_t start, std::size_t width,
                              Visit&& visit) {
  constexpr std::size_t kPerWord = sizeof(std::uint64_t) / sizeof(Code);
  constexpr unsigned kCodeBits = 8 * sizeof(Code);
  if (std::endian::native != std::endian::little || row_length < kPerWord) {
    for (std::size_t k = 0; k < width; ++k) visit(k, static_cast<std::size_t>(row[start + k]));
    return;
  }
  // Up to four words are read before the first of their codes is visited.
  constexpr std::size_t kGroupWords = 4;
  std::size_t k = 0;
  while (k < width) {
    std::uint64_t words[kGroupWords] = {};
    std::size_t takes[kGroupWords] = {};
    std::size_t next = k;
#pragma GCC unroll 4
    for (std::size_t q = 0; q < kGroupWords; ++q) {
      if (next >= width) break;
      const std::size_t first = start + next;
      const std::size_t base = std::min(first, row_length - kPerWord);
      std::memcpy(&words[q], row + base, sizeof(std::uint64_t));
      words[q] >>= kCodeBits * (first - base);
      takes[q] = std::min(kPerWord - (first - base), width - next);
      next += takes[q];
    }
#pragma GCC unroll 4
    for (std::size_t q = 0; q < kGroupWords; ++q) {
      std::uint64_t word = words[q];
      if (takes[q] == kPerWord) {
        // A whole word: the shifts are constants.
#pragma GCC unroll 8
        for (std::size_t j = 0; j < kPerWord; ++j) {
          visit(k + j, static_cast<std::size_t>(static_cast<Code>(word >> (kCodeBits * j))));
        }
      } else {
        for (std::size_t j = 0; j < takes[q]; ++j, word >>= kCodeBits) {
          visit(k + j, static_cast<std::size_t>(static_cast<Code>(word)));
        }
      }
      k += takes[q];
    }
  }
}

// The codes of row `row` a word read may reach in row-major codes of `size` codes, `row_length`
// per row: the whole row, or for a row at the end of a short list only the codes up to `needed`
// (the end of the features read), which the caller's row limit guarantees.
inline std::size_t readable_row_codes(std::size_t row, std::size_t row_length, std::size_t size, std::size_t needed) {
  return (row + 1) * row_length <= size ? row_length : needed;
}

// Adds the row's increment to the cell of `code` among a feature's cells, first checking the code
// when kCheckCodes.
template <bool kCheckCodes>
inline void add_code_to_cell(ArenaCell* feature_cells, std::size_t code, RowIncrement increment, std::size_t bin_count,
                             std::size_t feature) {
  if constexpr (kCheckCodes) {
    if (code >= bin_count) [[unlikely]] bad_code(code, feature, bin_count);
  }
  add_row_to_cell(feature_cells + code, increment);
}

// Adds one row to every feature of the tile: the row's codes are row[start, start + width) of
// its row_length codes, of the features from first_feature on. kStride is the arena's stride when
// known at compile time (0 otherwise): the features' cell offsets then fold into the addressing.
template <std::size_t kStride, bool kCheckCodes, typename Code>
inline void add_row_to_tile(const Code* row, std::size_t row_length, std::size_t width, std::size_t start,
                            ArenaCell* cells, std::size_t stride, std::size_t bin_count, RowIncrement increment,
                            std::size_t first_feature) {
  if constexpr (kStride != 0) stride = kStride;
  for_each_row_code(row, row_length, start, width, [&](std::size_t k, std::size_t code) {
    add_code_to_cell<kCheckCodes>(cells + k * stride, code, increment, bin_count, first_feature + k);
  });
}

}  // namespace detail

// Row-first accumulation of the features [start, end) of row-major codes (F per row) into an
// arena whose stride is at least `bin_count`. One pass over the rows serves every feature of
// the tile: a row's gradient pair is read once, its codes sit in one cache line.
//
// kStride: the arena's stride when fixed at compile time, else 0.
// kCheckCodes: compare every code with bin_count and panic on the first one not below it. The
// caller may skip it only when the arena's stride covers every value a code can take; the
// cells at and above bin_count then catch stray codes and are checked afterwards
// (materialize_tile_histograms).
// row_limit: rows at or beyond it have no gradient pair or no codes; meeting one panics.
// carry_every: rows between two carries of the float counts (at most kExactFloatCountRows).
template <std::size_t kStride, bool kCheckCodes, typename Code>
void accumulate_tile_row_first(std::span<const Code> bins, std::size_t feature_count,
                               std::span<const core::GradientPair> gradients, std::span<const std::uint32_t> rows,
                               std::size_t row_limit, std::size_t start, std::size_t end, HistogramArena& arena,
                               std::size_t bin_count, std::size_t carry_every = kExactFloatCountRows) {
  const std::size_t width = end - start;
  const std::size_t stride = arena.bins_per_feature();
  support::invariant(arena.feature_count() == width && stride >= bin_count && (kStride == 0 || kStride == stride),
                     "histogram arena does not fit the tile");
  ArenaCell* const cells = arena.cells().data();
  const Code* const codes = bins.data() + start;
  const core::GradientPair* const pairs = gradients.data();
  const std::size_t n = rows.size();
  const std::size_t block_rows = std::clamp<std::size_t>(carry_every, 1, kExactFloatCountRows);
  for (std::size_t block = 0; block < n; block += block_rows) {
    if (block > 0) arena.carry_counts();
    const std::size_t block_end = std::min(n, block + block_rows);
    for (std::size_t i = block; i < block_end; ++i) {
      const std::uint32_t row = rows[i];
      if (row >= row_limit) [[unlikely]] detail::bad_row(row, row_limit);
      if (i + detail::kPrefetchRows < n) {
        // A child's rows skip through the matrix; asking early for the codes and the pair of a
        // row a little ahead hides most of the memory latency the hardware would not foresee.
        // Both ends of the tile's codes: a row's codes straddle two cache lines about as often
        // as not, and the line left to the hardware cost most of the loop's time on nodes of a
        // few thousand scattered rows.
        const std::size_t ahead = std::min<std::size_t>(rows[i + detail::kPrefetchRows], row_limit - 1);
        detail::prefetch(codes + ahead * feature_count);
        detail::prefetch(codes + ahead * feature_count + (width - 1));
        detail::prefetch(pairs + ahead);
      }
      const std::size_t readable = detail::readable_row_codes(row, feature_count, bins.size(), end);
      detail::add_row_to_tile<kStride, kCheckCodes>(bins.data() + row * feature_count, readable, width, start, cells,
                                                    stride, bin_count, row_increment(pairs[row]), start);
    }
  }
}

namespace detail {

// A column's codes for the rows [i, i + 8 / sizeof(Code)), in one load.
template <typename Code>
inline std::uint64_t column_word(const Code* column, std::size_t i) {
  std::uint64_t word;
  std::memcpy(&word, column + i, sizeof(word));
  return word;
}

// Adds the rows [0, n) of kGroup features in row order, their cells from cells + g * stride:
// source.words(g, i) holds feature g's codes of the rows [i, i + 8 / sizeof(Code)), its low
// bits the first row's, source.code(g, i) feature g's code of row i and source.pair(i) row i's
// gradient pair; source.check(i, count) comes first for the rows [i, i + count). A run of rows'
// codes is read into named registers before that run's cell stores, so that no code load waits
// for a store whose address an earlier code load gave (see for_each_row_code). The source is
// taken by value: the cell stores may alias anything, and members read through a reference
// would be reloaded after every one of them.
template <std::size_t kGroup, std::size_t kStride, bool kCheckCodes, typename Code, typename Source>
void add_code_group(const Source source, std::size_t n, ArenaCell* cells, std::size_t stride, std::size_t bin_count,
                    std::size_t first_feature) {
  static_assert(kGroup >= 1 && kGroup <= 4);
  if constexpr (kStride != 0) stride = kStride;
  constexpr std::size_t kPerWord = sizeof(std::uint64_t) / sizeof(Code);
  constexpr unsigned kCodeBits = 8 * sizeof(Code);
  ArenaCell* const h0 = cells;
  ArenaCell* const h1 = cells + stride;
  ArenaCell* const h2 = cells + 2 * stride;
  ArenaCell* const h3 = cells + 3 * stride;
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; i + kPerWord <= n; i += kPerWord) {
      source.check(i, kPerWord);
      const std::uint64_t w0 = source.words(0, i);
      std::uint64_t w1 = 0, w2 = 0, w3 = 0;
      if constexpr (kGroup > 1) w1 = source.words(1, i);
      if constexpr (kGroup > 2) w2 = source.words(2, i);
      if constexpr (kGroup > 3) w3 = source.words(3, i);
#pragma GCC unroll 8
      for (std::size_t j = 0; j < kPerWord; ++j) {
        const RowIncrement increment = row_increment(source.pair(i + j));
        const unsigned shift = kCodeBits * static_cast<unsigned>(j);
        add_code_to_cell<kCheckCodes>(h0, static_cast<Code>(w0 >> shift), increment, bin_count, first_feature);
        if constexpr (kGroup > 1) {
          add_code_to_cell<kCheckCodes>(h1, static_cast<Code>(w1 >> shift), increment, bin_count, first_feature + 1);
        }
        if constexpr (kGroup > 2) {
          add_code_to_cell<kCheckCodes>(h2, static_cast<Code>(w2 >> shift), increment, bin_count, first_feature + 2);
        }
        if constexpr (kGroup > 3) {
          add_code_to_cell<kCheckCodes>(h3, static_cast<Code>(w3 >> shift), increment, bin_count, first_feature + 3);
        }
      }
    }
  }
  // Every column is named by a constant, here as above: indexed by a variable, the source would
  // have to live in memory, and the cell stores would make every read of it a reload.
  for (; i < n; ++i) {
    source.check(i, 1);
    const RowIncrement increment = row_increment(source.pair(i));
    add_code_to_cell<kCheckCodes>(h0, source.code(0, i), increment, bin_count, first_feature);
    if constexpr (kGroup > 1) {
      add_code_to_cell<kCheckCodes>(h1, source.code(1, i), increment, bin_count, first_feature + 1);
    }
    if constexpr (kGroup > 2) {
      add_code_to_cell<kCheckCodes>(h2, source.code(2, i), increment, bin_count, first_feature + 2);
    }
    if constexpr (kGroup > 3) {
      add_code_to_cell<kCheckCodes>(h3, source.code(3, i), increment, bin_count, first_feature + 3);
    }
  }
}

// Up to four columns read in sequence: column g's code of row i at columns[g][i], its pair at
// pairs[i].
template <typename Code, typename Pair>
struct ColumnRun {
  const Code* columns[4];
  const Pair* pairs;

  void check(std::size_t, std::size_t) const {}
  std::uint64_t words(std::size_t g, std::size_t i) const { return column_word(columns[g], i); }
  Code code(std::size_t g, std::size_t i) const { return columns[g][i]; }
  const Pair& pair(std::size_t i) const { return pairs[i]; }
};

// Up to four columns read at a node's rows: column g's code of row i at columns[g][rows[i]];
// its pair at pairs[i] when the pairs are in node order, else at pairs[rows[i]]. A row at or
// beyond row_limit panics (the first one in list order).
template <typename Code, bool kPairsInNodeOrder>
struct IndexedColumns {
  const Code* columns[4];
  const std::uint32_t* rows;
  const core::GradientPair* pairs;
  std::size_t row_limit;

  void check(std::size_t i, std::size_t count) const {
    std::uint32_t highest = 0;
    for (std::size_t j = 0; j < count; ++j) highest = std::max(highest, rows[i + j]);
    if (highest < row_limit) [[likely]] return;
    for (std::size_t j = 0; j < count; ++j) {
      if (rows[i + j] >= row_limit) bad_row(rows[i + j], row_limit);
    }
  }

  std::uint64_t words(std::size_t g, std::size_t i) const {
    constexpr std::size_t kPerWord = sizeof(std::uint64_t) / sizeof(Code);
    const Code* const column = columns[g];
    std::uint64_t word = 0;
#pragma GCC unroll 8
    for (std::size_t j = 0; j < kPerWord; ++j) {
      word |= static_cast<std::uint64_t>(column[rows[i + j]]) << (8 * sizeof(Code) * j);
    }
    return word;
  }
  Code code(std::size_t g, std::size_t i) const { return columns[g][rows[i]]; }
  const core::GradientPair& pair(std::size_t i) const { return kPairsInNodeOrder ? pairs[i] : pairs[rows[i]]; }
};

// Calls add_code_group for a group of `width` (1 to 4) features.
template <std::size_t kStride, bool kCheckCodes, typename Code, typename Source>
void add_code_group_of_width(std::size_t width, const Source& source, std::size_t n, ArenaCell* cells,
                             std::size_t stride, std::size_t bin_count, std::size_t first_feature) {
  switch (width) {
    case 1:
      add_code_group<1, kStride, kCheckCodes, Code>(source, n, cells, stride, bin_count, first_feature);
      break;
    case 2:
      add_code_group<2, kStride, kCheckCodes, Code>(source, n, cells, stride, bin_count, first_feature);
      break;
    case 3:
      add_code_group<3, kStride, kCheckCodes, Code>(source, n, cells, stride, bin_count, first_feature);
      break;
    default:
      add_code_group<4, kStride, kCheckCodes, Code>(source, n, cells, stride, bin_count, first_feature);
      break;
  }
}

}  // namespace detail

// The features per group of the column loop: four arenas of 8-bit codes (4 x 260 cells) fit
// the core's first-level cache beside the streams of codes and pairs.
inline constexpr std::size_t kColumnGroupFeatures = 4;

namespace detail {

// The column loops' walk: the rows [0, n) in blocks between two carries of the float counts,
// and in each block the `width` features kColumnGroupFeatures at a time, each group in one pass
// over the block's rows; source_of(block, k, group_width) reads the features [k, k + group_width)
// for the rows from `block` on.
template <std::size_t kStride, bool kCheckCodes, typename Code, typename SourceOf>
void accumulate_column_groups(std::size_t n, std::size_t width, std::size_t first_feature, HistogramArena& arena,
                              std::size_t bin_count, std::size_t carry_every, SourceOf&& source_of) {
  const std::size_t stride = arena.bins_per_feature();
  support::invariant(arena.feature_count() == width && stride >= bin_count && (kStride == 0 || kStride == stride),
                     "histogram arena does not fit the column group");
  ArenaCell* const cells = arena.cells().data();
  const std::size_t block_rows = std::clamp<std::size_t>(carry_every, 1, kExactFloatCountRows);
  for (std::size_t block = 0; block < n; block += block_rows) {
    if (block > 0) arena.carry_counts();
    const std::size_t rows = std::min(n - block, block_rows);
    for (std::size_t k = 0; k < width; k += kColumnGroupFeatures) {
      const std::size_t group_width = std::min(width - k, kColumnGroupFeatures);
      add_code_group_of_width<kStride, kCheckCodes, Code>(group_width, source_of(block, k, group_width), rows,
                                                          cells + k * stride, stride, bin_count, first_feature + k);
    }
  }
}

}  // namespace detail

// Column-first accumulation of `width` features into an arena of that many features whose stride
// is at least bin_count: feature k's code of row i at columns[k * column_stride + i] and the row's
// pair at pairs[i], for i in [0, n). The features are taken kColumnGroupFeatures at a time, each
// group in one pass over the rows; every bin receives its rows in order, as in the row-first
// loop. kStride and kCheckCodes as there; carry_every as there.
template <std::size_t kStride, bool kCheckCodes, typename Code, typename Pair>
void accumulate_columns(const Code* columns, std::size_t column_stride, const Pair* pairs, std::size_t n,
                        std::size_t width, std::size_t first_feature, HistogramArena& arena, std::size_t bin_count,
                        std::size_t carry_every = kExactFloatCountRows) {
  detail::accumulate_column_groups<kStride, kCheckCodes, Code>(
      n, width, first_feature, arena, bin_count, carry_every,
      [&](std::size_t block, std::size_t k, std::size_t group_width) {
        detail::ColumnRun<Code, Pair> run{{}, pairs + block};
        for (std::size_t g = 0; g < group_width; ++g) run.columns[g] = columns + (k + g) * column_stride + block;
        return run;
      });
}

// The column loop at a node's rows: feature k's code of row rows[i] at
// columns[k * column_stride + rows[i]], for i in [0, n); the row's pair at pairs[i] when
// kPairsInNodeOrder, else at pairs[rows[i]]. Every bin receives its rows in the list's order, as
// in the other loops. A row at or beyond column_stride panics; the columns and the pairs looked
// up must cover every row below it (the caller checks). kStride, kCheckCodes and carry_every as
// in accumulate_columns.
template <std::size_t kStride, bool kCheckCodes, bool kPairsInNodeOrder, typename Code>
void accumulate_indexed_columns(const Code* columns, std::size_t column_stride, const std::uint32_t* rows,
                                const core::GradientPair* pairs, std::size_t n, std::size_t width,
                                std::size_t first_feature, HistogramArena& arena, std::size_t bin_count,
                                std::size_t carry_every = kExactFloatCountRows) {
  detail::accumulate_column_groups<kStride, kCheckCodes, Code>(
      n, width, first_feature, arena, bin_count, carry_every,
      [&](std::size_t block, std::size_t k, std::size_t group_width) {
        detail::IndexedColumns<Code, kPairsInNodeOrder> run{
            {}, rows + block, kPairsInNodeOrder ? pairs + block : pairs, column_stride};
        for (std::size_t g = 0; g < group_width; ++g) run.columns[g] = columns + (k + g) * column_stride;
        return run;
      });
}

// The column loop for a node whose rows are the run first_row, first_row + 1, ...,
// first_row + n - 1, from column-major codes (feature f's code of row r at f * row_count + r):
// the features [start, end), at most kColumnGroupFeatures, so that their arena stays in the
// core's first-level cache. Rows outside the gradients or the columns are a caller's bug.
template <std::size_t kStride, bool kCheckCodes, typename Code>
void accumulate_contiguous_columns(std::span<const Code> columns, std::size_t row_count,
                                   std::span<const core::GradientPair> gradients, std::size_t first_row,
                                   std::size_t n, std::size_t start, std::size_t end, HistogramArena& arena,
                                   std::size_t bin_count, std::size_t carry_every = kExactFloatCountRows) {
  const std::size_t width = end - start;
  support::invariant(width >= 1 && width <= kColumnGroupFeatures, "histogram arena does not fit the column group");
  const auto covered = support::checked_mul(end, row_count);
  support::invariant(first_row + n <= row_count && first_row + n <= gradients.size() && covered &&
                         *covered <= columns.size(),
                     "column group rows lie outside the codes");
  accumulate_columns<kStride, kCheckCodes>(columns.data() + start * row_count + first_row, row_count,
                                           gradients.data() + first_row, n, width, start, arena, bin_count,
                                           carry_every);
}

// Sets `arena` up for `width` features of `bin_count` bins summed from codes of type Code and
// calls sum(kStride, kCheckCodes) with the matching constants of the loops above: for 8-bit
// codes the arena has a cell for every code value, so stray codes land in cells at or above
// bin_count, which materialize_tile_histograms checks; wider codes are compared one by one.
template <typename Code, typename Sum>
void sum_into_arena(HistogramArena& arena, std::size_t width, std::size_t bin_count, Sum&& sum) {
  using NoCheck = std::false_type;
  if constexpr (sizeof(Code) == 1) {
    if (bin_count <= kU8CodeValues) {
      arena.resize_for_tile(width, kU8ArenaStride);
      sum(std::integral_constant<std::size_t, kU8ArenaStride>{}, NoCheck{});
    } else {
      arena.resize_for_tile(width, bin_count);
      sum(std::integral_constant<std::size_t, 0>{}, NoCheck{});
    }
  } else {
    arena.resize_for_tile(width, bin_count);
    sum(std::integral_constant<std::size_t, 0>{}, std::true_type{});
  }
}

namespace detail {

inline void add_pair_to_bin(std::span<core::HistogramBin> out, std::size_t code, core::GradientPair pair,
                            std::size_t feature) {
  if (code >= out.size()) [[unlikely]] bad_code(code, feature, out.size());
  core::HistogramBin& bin = out[code];
  bin.grad_sum += pair.grad;
  bin.hess_sum += pair.hess;
  bin.grad_sq_sum += pair.grad * pair.grad;
  bin.count += 1;
}

}  // namespace detail

// Sums one feature over the node's rows into `out` (one bin per code value), the code of row r
// at position r * row_step + column_offset of `codes`. Every position the rows below row_limit
// can reach must lie inside `codes`.
//
// The codes and pairs of eight rows are read before the first of their bin updates (see
// for_each_row_code: a code read after the previous row's bin store would wait for that store's
// address, and the scattered rows' cache misses would come one after another). The updates
// keep the row order. A group with a row at or beyond row_limit is left to the row-by-row loop,
// which stops at the first fault in row order.
template <typename Code>
void accumulate_feature(std::span<const Code> codes, std::size_t row_step, std::size_t column_offset,
                        std::size_t feature, std::span<const core::GradientPair> gradients,
                        std::span<const std::uint32_t> rows, std::size_t row_limit, std::span<core::HistogramBin> out) {
  constexpr std::size_t kAhead = 8;
  const Code* const column = codes.data() + column_offset;
  const core::GradientPair* const pairs = gradients.data();
  const std::size_t n = rows.size();
  std::size_t i = 0;
  for (; i + kAhead <= n; i += kAhead) {
    std::uint32_t group[kAhead];
    std::uint32_t highest = 0;
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kAhead; ++k) {
      group[k] = rows[i + k];
      highest = std::max(highest, group[k]);
    }
    if (highest >= row_limit) [[unlikely]] break;
    std::size_t code[kAhead];
    core::GradientPair pair[kAhead];
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kAhead; ++k) {
      code[k] = column[group[k] * row_step];
      pair[k] = pairs[group[k]];
    }
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kAhead; ++k) detail::add_pair_to_bin(out, code[k], pair[k], feature);
  }
  for (; i < n; ++i) {
    const std::uint32_t row = rows[i];
    if (row >= row_limit) detail::bad_row(row, row_limit);
    detail::add_pair_to_bin(out, codes[row * row_step + column_offset], pairs[row], feature);
  }
}

}  // namespace kestrune::backend_cpu

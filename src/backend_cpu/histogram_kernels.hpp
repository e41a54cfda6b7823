// The inner loops of histogram building. Both loops add a row's gradient pair to a bin in the
// order of the node's row list, so for any one feature and bin the float32 sums are the same
// whichever loop built them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

#include "backend_cpu/arena.hpp"
#include "core/histogram.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu {

namespace detail {

[[noreturn]] inline void bad_row(std::uint32_t row, std::size_t row_limit) {
  support::panic("histogram row " + std::to_string(row) + " is outside the " + std::to_string(row_limit) +
                 " rows the gradients and bin codes cover");
}

[[noreturn]] inline void bad_code(std::size_t code, std::size_t feature, std::size_t bin_count) {
  support::panic("histogram bin code " + std::to_string(code) + " of feature " + std::to_string(feature) +
                 " is not below the bin count " + std::to_string(bin_count));
}

// Rows ahead whose codes and gradient pair are requested early; child nodes visit rows in an
// order the hardware prefetcher cannot guess.
inline constexpr std::size_t kPrefetchDistance = 16;

}  // namespace detail

// Adds one row to a cell: three float lanes and the count.
#if defined(__SSE2__)
using RowIncrement = __m128;

inline RowIncrement row_increment(float grad, float hess) {
  return _mm_setr_ps(0.0f, grad, hess, grad * grad);
}

inline void add_row_to_cell(ArenaCell* cell, RowIncrement increment) {
  float* lanes = reinterpret_cast<float*>(cell);  // the cell's four lanes, count first
  const __m128 current = _mm_load_ps(lanes);
  const __m128 sums = _mm_add_ps(current, increment);
  // The float add also ran over the count lane; that lane is taken from the integer add instead.
  const __m128i counted = _mm_add_epi32(_mm_castps_si128(current), _mm_cvtsi32_si128(1));
  _mm_store_ps(lanes, _mm_move_ss(sums, _mm_castsi128_ps(counted)));
}

inline void prefetch(const void* address) { _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0); }
#else
struct RowIncrement {
  float grad;
  float hess;
  float grad_sq;
};

inline RowIncrement row_increment(float grad, float hess) { return {grad, hess, grad * grad}; }

inline void add_row_to_cell(ArenaCell* cell, RowIncrement increment) {
  cell->count += 1;
  cell->grad_sum += increment.grad;
  cell->hess_sum += increment.hess;
  cell->grad_sq_sum += increment.grad_sq;
}

inline void prefetch(const void*) {}
#endif

static_assert(offsetof(ArenaCell, grad_sum) == sizeof(std::uint32_t), "count lane first");

// Row-first accumulation of the features [start, end) of row-major codes (F per row) into an
// arena whose stride is at least `bin_count`. One pass over the rows serves every feature of
// the tile: a row's gradient pair is read once, its codes sit in one cache line.
//
// kCheckCodes: compare every code with bin_count and panic on the first one not below it. The
// caller may skip it only when the arena's stride covers every value a code can take; the
// cells at and above bin_count then catch stray codes and are checked afterwards
// (materialize_tile_histograms).
//
// row_limit: rows at or beyond it have no gradient pair or no codes; meeting one panics.
template <bool kCheckCodes, typename Code>
void accumulate_tile_row_first(std::span<const Code> bins, std::size_t feature_count,
                               std::span<const core::GradientPair> gradients, std::span<const std::uint32_t> rows,
                               std::size_t row_limit, std::size_t start, std::size_t end, HistogramArena& arena,
                               std::size_t bin_count) {
  const std::size_t width = end - start;
  const std::size_t stride = arena.bins_per_feature();
  support::invariant(arena.feature_count() == width && stride >= bin_count, "histogram arena does not fit the tile");
  ArenaCell* const cells = arena.cells().data();
  const Code* const codes = bins.data();
  const core::GradientPair* const pairs = gradients.data();
  const std::size_t n = rows.size();
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t row = rows[i];
    if (row >= row_limit) detail::bad_row(row, row_limit);
    if (i + detail::kPrefetchDistance < n) {
      const std::uint32_t ahead = rows[i + detail::kPrefetchDistance];
      if (ahead < row_limit) {
        prefetch(codes + ahead * feature_count + start);
        prefetch(pairs + ahead);
      }
    }
    const RowIncrement increment = row_increment(pairs[row].grad, pairs[row].hess);
    const Code* const row_codes = codes + row * feature_count + start;
    ArenaCell* feature_cells = cells;
    for (std::size_t k = 0; k < width; ++k, feature_cells += stride) {
      const std::size_t code = row_codes[k];
      if constexpr (kCheckCodes) {
        if (code >= bin_count) [[unlikely]] detail::bad_code(code, start + k, bin_count);
      }
      add_row_to_cell(feature_cells + code, increment);
    }
  }
}

// Sums one feature over the node's rows into `out` (one bin per code value), the code of row r
// at position r * row_step + column_offset of `codes`. Every position the rows below row_limit
// can reach must lie inside `codes`.
template <typename Code>
void accumulate_feature(std::span<const Code> codes, std::size_t row_step, std::size_t column_offset,
                        std::size_t feature, std::span<const core::GradientPair> gradients,
                        std::span<const std::uint32_t> rows, std::size_t row_limit, std::span<core::HistogramBin> out) {
  const std::size_t bin_count = out.size();
  for (const std::uint32_t row : rows) {
    if (row >= row_limit) detail::bad_row(row, row_limit);
    const std::size_t code = codes[row * row_step + column_offset];
    if (code >= bin_count) [[unlikely]] detail::bad_code(code, feature, bin_count);
    const core::GradientPair pair = gradients[row];
    core::HistogramBin& bin = out[code];
    bin.grad_sum += pair.grad;
    bin.hess_sum += pair.hess;
    bin.grad_sq_sum += pair.grad * pair.grad;
    bin.count += 1;
  }
}

}  // namespace kestrune::backend_cpu

#include "backend_cpu/histogram_gather.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "backend_cpu/arena.hpp"
#include "backend_cpu/histogram.hpp"
#include "backend_cpu/histogram_kernels.hpp"
#include "core/scratch_region.hpp"
#include "parallel/parallel.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu {

namespace {

std::size_t width_of(const core::FeatureTile& tile) { return tile.end_feature - tile.start_feature; }

// One piece summed from the block: its features are the columns from `column` on, each column
// n codes long.
template <typename Code>
std::vector<core::FeatureHistogram> sum_gathered_piece(const Code* block, const core::GradientPair* pairs, std::size_t n,
                                                       std::size_t column, const core::FeatureTile& piece,
                                                       std::size_t bins) {
  const std::size_t width = width_of(piece);
  const Code* const columns = block + column * n;
  ThreadArenaBorrow borrow;
  HistogramArena& arena = borrow.arena();
  // The same arena layouts as the row-first loop.
  sum_into_arena<Code>(arena, width, bins, [&](auto stride, auto check) {
    accumulate_columns<decltype(stride)::value, decltype(check)::value>(columns, n, pairs, n, width,
                                                                        piece.start_feature, arena, bins);
  });
  std::vector<core::FeatureHistogram> output;
  output.reserve(width);
  materialize_tile_histograms(piece.start_feature, arena, bins, output);
  return output;
}

// Copies the codes [start, start + width) of kGroupRows consecutive node rows (group_rows, each
// row's codes at matrix + row * row_length, every one of them readable) into the block's columns:
// feature start + k's codes of the rows go to target[k * column_length + r], r in
// [0, kGroupRows). The rows' codes are read eight bytes at a time (a word never reaches past its
// row, see detail::for_each_row_code) and turned into one word per feature with a few shuffles,
// so each feature takes one store for the group's rows, where a copy row by row stores each code
// on its own.
template <typename Code>
inline constexpr std::size_t kGroupRows = sizeof(std::uint64_t) / sizeof(Code);

#if defined(__SSE2__)
template <typename Code>
void gather_row_group(const Code* matrix, std::size_t row_length, const std::uint32_t* group_rows, std::size_t start,
                      std::size_t width, Code* target, std::size_t column_length) {
  constexpr std::size_t kPerWord = kGroupRows<Code>;
  std::size_t k = 0;
  while (k < width) {
    const std::size_t first = start + k;
    const std::size_t base = std::min(first, row_length - kPerWord);
    const std::size_t skip = first - base;
    const std::size_t takes = std::min(kPerWord - skip, width - k);
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(8 * sizeof(Code) * skip));
    const auto load = [&](std::size_t r) {
      const Code* const word = matrix + std::size_t{group_rows[r]} * row_length + base;
      return _mm_srl_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(word)), shift);
    };
    // Each result holds the words of two features: its low half the first one's, the rows in order.
    __m128i pairs[kPerWord / 2];
    if constexpr (sizeof(Code) == 1) {
      const __m128i t0 = _mm_unpacklo_epi8(load(0), load(1));
      const __m128i t1 = _mm_unpacklo_epi8(load(2), load(3));
      const __m128i t2 = _mm_unpacklo_epi8(load(4), load(5));
      const __m128i t3 = _mm_unpacklo_epi8(load(6), load(7));
      const __m128i u0 = _mm_unpacklo_epi16(t0, t1);
      const __m128i u1 = _mm_unpackhi_epi16(t0, t1);
      const __m128i u2 = _mm_unpacklo_epi16(t2, t3);
      const __m128i u3 = _mm_unpackhi_epi16(t2, t3);
      pairs[0] = _mm_unpacklo_epi32(u0, u2);
      pairs[1] = _mm_unpackhi_epi32(u0, u2);
      pairs[2] = _mm_unpacklo_epi32(u1, u3);
      pairs[3] = _mm_unpackhi_epi32(u1, u3);
    } else {
      const __m128i t0 = _mm_unpacklo_epi16(load(0), load(1));
      const __m128i t1 = _mm_unpacklo_epi16(load(2), load(3));
      pairs[0] = _mm_unpacklo_epi32(t0, t1);
      pairs[1] = _mm_unpackhi_epi32(t0, t1);
    }
    Code* const out = target + k * column_length;
    const auto store = [&](std::size_t j) {
      __m128i word = pairs[j / 2];
      if (j % 2 == 1) word = _mm_unpackhi_epi64(word, word);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + j * column_length), word);
    };
    if (takes == kPerWord) {
#pragma GCC unroll 8
      for (std::size_t j = 0; j < kPerWord; ++j) store(j);
    } else {
      for (std::size_t j = 0; j < takes; ++j) store(j);
    }
    k += takes;
  }
}
#endif

template <typename Code>
std::vector<std::vector<core::FeatureHistogram>> gathered_build(
    std::span<const Code> codes, const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
    std::span<const std::uint32_t> rows, std::span<const core::FeatureTile> passes,
    std::span<const core::FeatureTile> pieces, std::size_t bins, std::size_t threads,
    std::span<const core::GradientPair> node_pairs) {
  const std::size_t n = rows.size();
  const std::size_t features = binned.feature_count;
  std::size_t row_width = 0;
  std::size_t end = 0;
  for (const core::FeatureTile& pass : passes) {
    support::invariant(pass.start_feature < pass.end_feature && pass.end_feature <= features,
                       "gathered feature range must lie inside the matrix");
    row_width += width_of(pass);
    end = std::max<std::size_t>(end, pass.end_feature);
  }
  std::size_t piece_width = 0;
  for (const core::FeatureTile& piece : pieces) piece_width += width_of(piece);
  support::invariant(piece_width == row_width, "histogram pieces must cover the gathered features");
  const auto cells = support::checked_mul(n, row_width);
  support::invariant(cells.has_value() && *cells <= kMaxGatheredCodes, "gathered block is too large");

  // Rows below the limit have a gradient pair and all the gathered codes.
  const std::size_t covered = codes.size() < end ? 0 : (codes.size() - end) / features + 1;
  const std::size_t row_limit = std::min({gradients.size(), binned.row_count, covered});

  // One buffer holds the pairs (unless the caller has them in node order already), then the
  // codes, column by column (each piece then reads only its own features' codes); filled before
  // it is read, so never initialised.
  const bool pairs_given = node_pairs.size() == n;
  const std::size_t pair_bytes = pairs_given ? 0 : n * sizeof(core::GradientPair);
  static_assert(alignof(core::GradientPair) >= alignof(Code));
  const core::ScratchBlock scratch = core::take_scratch_block(pair_bytes + *cells * sizeof(Code));
  core::GradientPair* const gathered_pairs = reinterpret_cast<core::GradientPair*>(scratch.data());
  const core::GradientPair* const pairs = pairs_given ? node_pairs.data() : gathered_pairs;
  Code* const block = reinterpret_cast<Code*>(scratch.data() + pair_bytes);
  parallel::parallel_for_chunks(
      n, kGatherChunkRows,
      [&](std::size_t first, std::size_t last) {
        // Everything the loop reads is copied into locals first: the code stores are character
        // stores, which may alias anything, so the compiler would reload each captured value
        // after every store, and each reload would wait for the store's address.
        const std::uint32_t* const list = rows.data();
        const Code* const matrix = codes.data();
        const std::size_t matrix_size = codes.size();
        const core::GradientPair* const pairs_in = gradients.data();
        core::GradientPair* const pairs_out = gathered_pairs;
        const std::size_t limit = row_limit;
        const std::size_t row_length = features;
        const std::size_t column_length = n;
        const std::size_t passes_end = end;
        Code* column_start = block;
        bool copy_pairs = !pairs_given;  // in the first pass only
        for (const core::FeatureTile& pass : passes) {
          const std::size_t start = pass.start_feature;
          const std::size_t width = width_of(pass);
          std::size_t i = first;
#if defined(__SSE2__)
          constexpr std::size_t kGroup = kGroupRows<Code>;
          if (std::endian::native == std::endian::little && row_length >= kGroup && limit > 0) {
            for (; i + kGroup <= last; i += kGroup) {
              if (i + detail::kPrefetchRows + kGroup <= last) {
#pragma GCC unroll 8
                for (std::size_t r = 0; r < kGroup; ++r) {
                  // Both ends of the row: its codes may straddle two cache lines (a row below the
                  // limit has a code inside the list, the list's last one at worst).
                  const std::size_t ahead = std::min<std::size_t>(list[i + detail::kPrefetchRows + r], limit - 1);
                  detail::prefetch(matrix + ahead * row_length);
                  detail::prefetch(matrix + std::min((ahead + 1) * row_length, matrix_size) - 1);
                  if (copy_pairs) detail::prefetch(pairs_in + ahead);
                }
              }
              std::uint32_t highest = 0;
#pragma GCC unroll 8
              for (std::size_t r = 0; r < kGroup; ++r) highest = std::max(highest, list[i + r]);
              // A group with a row outside the data, or a row a word read may not cover, is left
              // to the row-by-row loop below.
              if (highest >= limit || (std::size_t{highest} + 1) * row_length > matrix_size) [[unlikely]] break;
              gather_row_group(matrix, row_length, list + i, start, width, column_start + i, column_length);
              if (copy_pairs) {
#pragma GCC unroll 8
                for (std::size_t r = 0; r < kGroup; ++r) pairs_out[i + r] = pairs_in[list[i + r]];
              }
            }
          }
#endif
          for (; i < last; ++i) {
            const std::uint32_t row = list[i];
            if (row >= limit) [[unlikely]] detail::bad_row(row, limit);
            if (i + detail::kPrefetchRows < last) {
              const std::size_t ahead = std::min<std::size_t>(list[i + detail::kPrefetchRows], limit - 1);
              detail::prefetch(matrix + ahead * row_length);
              if (copy_pairs) detail::prefetch(pairs_in + ahead);
            }
            const Code* const source = matrix + static_cast<std::size_t>(row) * row_length;
            const std::size_t readable = detail::readable_row_codes(row, row_length, matrix_size, passes_end);
            Code* const target = column_start + i;
            detail::for_each_row_code(source, readable, start, width, [&](std::size_t k, std::size_t code) {
              target[k * column_length] = static_cast<Code>(code);
            });
            if (copy_pairs) pairs_out[i] = pairs_in[row];
          }
          column_start += width * column_length;
          copy_pairs = false;
        }
      },
      parallel::kDefaultMinParallel, threads);

  std::vector<std::size_t> columns(pieces.size());
  for (std::size_t p = 1; p < pieces.size(); ++p) columns[p] = columns[p - 1] + width_of(pieces[p - 1]);
  return parallel::parallel_map<std::vector<core::FeatureHistogram>>(
      pieces.size(),
      [&](std::size_t p) {
        return sum_gathered_piece(block, pairs, n, columns[p], pieces[p], bins);
      },
      parallel::kDefaultMinParallel, threads);
}

// One piece summed at the node's rows from the column-major codes, kColumnGroupFeatures at a
// time as the column loop of rows in one run does.
template <typename Code, bool kPairsInNodeOrder>
std::vector<core::FeatureHistogram> sum_indexed_piece(const Code* columns, std::size_t row_count,
                                                      std::span<const std::uint32_t> rows,
                                                      const core::GradientPair* pairs, const core::FeatureTile& piece,
                                                      std::size_t bins) {
  std::vector<core::FeatureHistogram> output;
  output.reserve(width_of(piece));
  ThreadArenaBorrow borrow;
  HistogramArena& arena = borrow.arena();
  for (std::size_t group = piece.start_feature; group < piece.end_feature; group += kColumnGroupFeatures) {
    const std::size_t width = std::min<std::size_t>(piece.end_feature - group, kColumnGroupFeatures);
    sum_into_arena<Code>(arena, width, bins, [&](auto stride, auto check) {
      accumulate_indexed_columns<decltype(stride)::value, decltype(check)::value, kPairsInNodeOrder>(
          columns + group * row_count, row_count, rows.data(), pairs, rows.size(), width, group, arena, bins);
    });
    materialize_tile_histograms(static_cast<std::uint32_t>(group), arena, bins, output);
  }
  return output;
}

}  // namespace

bool gathered_build_applies(std::span<const std::uint32_t> rows, std::size_t total_width,
                            std::size_t bins_per_feature) {
  if (rows.empty() || bins_per_feature > kArenaMaxBins) return false;
  const auto cells = support::checked_mul(rows.size(), total_width);
  if (!cells || *cells > kMaxGatheredCodes) return false;
  const bool contiguous = rows.back() >= rows.front() && rows.back() - rows.front() + std::size_t{1} == rows.size();
  return !contiguous;
}

std::vector<std::vector<core::FeatureHistogram>> build_gathered_pieces(
    const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
    std::span<const std::uint32_t> rows, std::span<const core::FeatureTile> passes,
    std::span<const core::FeatureTile> pieces, std::size_t bins_per_feature, std::size_t threads,
    std::span<const core::GradientPair> node_pairs) {
  return binned.bins.visit([&](auto codes) {
    return gathered_build(codes, binned, gradients, rows, passes, pieces, bins_per_feature, threads, node_pairs);
  });
}

}  // namespace kestrune::backend_cpu

namespace kestrune::backend_cpu {

bool indexed_columns_apply(const core::BinnedMatrix& binned, std::span<const std::uint32_t> rows,
                           std::size_t total_width) {
  return !binned.bins_column_major.empty() && total_width >= kIndexedColumnsMinFeatures &&
         rows.size() * kIndexedColumnsRowShare >= binned.row_count;
}

std::vector<std::vector<core::FeatureHistogram>> build_indexed_column_pieces(
    const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
    std::span<const std::uint32_t> rows, std::span<const core::FeatureTile> pieces, std::size_t bins_per_feature,
    std::size_t threads, std::span<const core::GradientPair> node_pairs) {
  const std::size_t row_count = binned.row_count;
  std::size_t end = 0;
  for (const core::FeatureTile& piece : pieces) {
    support::invariant(piece.start_feature < piece.end_feature && piece.end_feature <= binned.feature_count,
                       "indexed feature range must lie inside the matrix");
    end = std::max<std::size_t>(end, piece.end_feature);
  }
  const auto needed = support::checked_mul(end, row_count);
  support::invariant(needed.has_value() && *needed <= binned.bins_column_major.size() &&
                         gradients.size() >= row_count,
                     "column-major bin codes are shorter than the matrix");
  const bool pairs_given = node_pairs.size() == rows.size();
  return binned.bins_column_major.visit([&](auto codes) {
    return parallel::parallel_map<std::vector<core::FeatureHistogram>>(
        pieces.size(),
        [&](std::size_t p) {
          return pairs_given ? sum_indexed_piece<typename decltype(codes)::value_type, true>(
                                   codes.data(), row_count, rows, node_pairs.data(), pieces[p], bins_per_feature)
                             : sum_indexed_piece<typename decltype(codes)::value_type, false>(
                                   codes.data(), row_count, rows, gradients.data(), pieces[p], bins_per_feature);
        },
        parallel::kDefaultMinParallel, threads);
  });
}

}  // namespace kestrune::backend_cpu

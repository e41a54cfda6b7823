#include "backend_cpu/histogram.hpp"

#include <algorithm>
#include <atomic>
#include <limits>
#include <string>

#include "backend_cpu/histogram_gather.hpp"
#include "backend_cpu/histogram_store.hpp"
#include "backend_cpu/histogram_kernels.hpp"
#include "engine/error.hpp"
#include "parallel/parallel.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu {

namespace {

// Row lists at least this long are checked for one run on the pool: 1,000,000 rows took 0.16 ms
// on one thread.
constexpr std::size_t kParallelContiguityRows = std::size_t{1} << 17;

// The arena loop pays off once a pass over the rows serves enough cells.
constexpr std::size_t kArenaMinRows = 33;
constexpr std::size_t kArenaMinCells = 16385;

std::size_t saturating_product(std::size_t a, std::size_t b) {
  return support::checked_mul(a, b).value_or(std::numeric_limits<std::size_t>::max());
}

void check_tile_inside(const core::BinnedMatrix& binned, const core::FeatureTile& tile) {
  support::invariant(tile.start_feature < tile.end_feature, "feature tile must satisfy start_feature < end_feature");
  support::invariant(tile.end_feature <= binned.feature_count, "feature tile must lie inside the matrix");
}

// Rows below the result have a gradient pair and, for every feature below `end`, a code at
// row * feature_count + feature inside a row-major list of `size` codes.
std::size_t row_major_row_limit(const core::BinnedMatrix& binned, std::size_t gradient_count, std::size_t size,
                                std::size_t end) {
  const std::size_t covered = size < end ? 0 : (size - end) / binned.feature_count + 1;
  return std::min({gradient_count, binned.row_count, covered});
}

// `count` bin lists of `bins` bins for one build's features, taken from the store at once, in a
// list the thread keeps from build to build (its entries are moved out by the build).
std::vector<std::vector<core::HistogramBin>>& taken_lists(std::size_t count, std::size_t bins) {
  thread_local std::vector<std::vector<core::HistogramBin>> lists;
  lists.clear();
  take_histogram_lists(count, bins, lists);
  return lists;
}

}  // namespace

bool per_feature_reads_row_major(std::span<const std::uint32_t> rows, std::size_t feature_count, std::size_t width,
                                 core::BinWidth code_width) {
  const std::size_t n = rows.size();
  const std::size_t code_bytes = code_width == core::BinWidth::U8 ? 1 : 2;
  const std::size_t row_bytes = saturating_product(feature_count, code_bytes);
  if (n == 0 || saturating_product(n, row_bytes) > kRowMajorCacheBytes) return false;
  // Rows listed in ascending order lie within [first, last]; any other list counts as spread
  // over the whole matrix.
  const std::size_t span = rows.back() >= rows.front() ? rows.back() - rows.front() + std::size_t{1}
                                                       : std::numeric_limits<std::size_t>::max();
  // Cache lines each layout brings in: column-major, every feature reads its own line per row
  // (or the whole run of the rows' codes, when the rows are dense); row-major, each row's tile
  // codes once (or the whole run), then the cache serves the other features.
  const std::size_t lines_per_row = (saturating_product(width, code_bytes) + 63) / 64 + 1;
  const std::size_t column_lines =
      saturating_product(width, std::min(n, saturating_product(span, code_bytes) / 64 + 1));
  const std::size_t row_lines =
      std::min(saturating_product(n, lines_per_row), saturating_product(span, row_bytes) / 64 + 1);
  return row_lines < column_lines;
}

bool tile_uses_arena(std::size_t rows, std::size_t width, std::size_t bins_per_feature) {
  return bins_per_feature <= kArenaMaxBins && rows >= kArenaMinRows &&
         saturating_product(rows, width) >= kArenaMinCells;
}

void materialize_tile_histograms(std::uint32_t start_feature, const HistogramArena& arena, std::size_t bin_count,
                                 std::vector<core::FeatureHistogram>& output) {
  const std::size_t features = arena.feature_count();
  support::invariant(bin_count <= arena.bins_per_feature(), "histogram arena is narrower than the histograms");
  const std::size_t stride = arena.bins_per_feature();
  const std::span<const ArenaCell> cells = arena.cells();
  const std::span<const std::uint32_t> carried = arena.carried_counts();
  support::invariant(carried.empty() || carried.size() == cells.size(), "histogram arena carried counts are misshapen");
  std::vector<std::vector<core::HistogramBin>>& lists = taken_lists(features, bin_count);
  for (std::size_t k = 0; k < features; ++k) {
    const std::size_t first = k * stride;
    for (std::size_t b = bin_count; b < stride; ++b) {
      if (arena.count_at(first + b) != 0) detail::bad_code(b, start_feature + k, bin_count);
    }
    core::FeatureHistogram histogram;
    histogram.feature_index = start_feature + static_cast<std::uint32_t>(k);
    histogram.bins = std::move(lists[k]);
    // A plain copy loop: this runs for every bin of every node, whatever its row count.
    core::HistogramBin* const out = histogram.bins.data();
    const ArenaCell* const from = cells.data() + first;
    for (std::size_t b = 0; b < bin_count; ++b) {
      out[b] = core::HistogramBin{from[b].grad_sum, from[b].hess_sum, from[b].grad_sq_sum,
                                  support::saturating_cast<std::uint32_t>(from[b].count)};
    }
    if (!carried.empty()) {
      for (std::size_t b = 0; b < bin_count; ++b) out[b].count += carried[first + b];  // wrapping
    }
    output.push_back(std::move(histogram));
  }
}

std::vector<core::FeatureHistogram> build_tile_histograms_with_arena(const core::BinnedMatrix& binned,
                                                                     std::span<const core::GradientPair> gradients,
                                                                     std::span<const std::uint32_t> rows,
                                                                     const core::FeatureTile& tile,
                                                                     std::size_t bins_per_feature) {
  check_tile_inside(binned, tile);
  const std::size_t start = tile.start_feature;
  const std::size_t end = tile.end_feature;
  const std::size_t row_limit = row_major_row_limit(binned, gradients.size(), binned.bins.size(), end);
  std::vector<core::FeatureHistogram> output;
  output.reserve(end - start);
  ThreadArenaBorrow borrow;
  HistogramArena& arena = borrow.arena();
  binned.bins.visit([&](auto codes) {
    using Code = typename decltype(codes)::value_type;
    sum_into_arena<Code>(arena, end - start, bins_per_feature, [&](auto stride, auto check) {
      accumulate_tile_row_first<decltype(stride)::value, decltype(check)::value>(
          codes, binned.feature_count, gradients, rows, row_limit, start, end, arena, bins_per_feature);
    });
  });
  materialize_tile_histograms(tile.start_feature, arena, bins_per_feature, output);
  return output;
}

std::vector<core::FeatureHistogram> build_tile_histograms_from_columns(const core::BinnedMatrix& binned,
                                                                       std::span<const core::GradientPair> gradients,
                                                                       std::uint32_t first_row, std::size_t row_count,
                                                                       const core::FeatureTile& tile,
                                                                       std::size_t bins_per_feature) {
  check_tile_inside(binned, tile);
  const std::size_t start = tile.start_feature;
  const std::size_t end = tile.end_feature;
  const core::BinStorage& columns = binned.bins_column_major;
  const auto needed = support::checked_mul(end, binned.row_count);
  if (!needed || *needed > columns.size()) support::panic("column-major bin codes are shorter than the matrix");
  const std::size_t row_limit = std::min(gradients.size(), binned.row_count);
  if (row_count > row_limit || first_row > row_limit - row_count) {
    const std::size_t first_bad = std::max<std::size_t>(first_row, row_limit);
    detail::bad_row(static_cast<std::uint32_t>(first_bad), row_limit);
  }
  std::vector<core::FeatureHistogram> output;
  output.reserve(end - start);
  ThreadArenaBorrow borrow;
  HistogramArena& arena = borrow.arena();
  columns.visit([&](auto codes) {
    using Code = typename decltype(codes)::value_type;
    // One group's arena at a time, so that it stays in the first-level cache from its first
    // addition to its copy into the histograms.
    for (std::size_t group = start; group < end; group += kColumnGroupFeatures) {
      const std::size_t group_end = std::min(end, group + kColumnGroupFeatures);
      sum_into_arena<Code>(arena, group_end - group, bins_per_feature, [&](auto stride, auto check) {
        accumulate_contiguous_columns<decltype(stride)::value, decltype(check)::value>(
            codes, binned.row_count, gradients, first_row, row_count, group, group_end, arena, bins_per_feature);
      });
      materialize_tile_histograms(static_cast<std::uint32_t>(group), arena, bins_per_feature, output);
    }
  });
  return output;
}

std::vector<core::FeatureHistogram> build_tile_histograms_per_feature(const core::BinnedMatrix& binned,
                                                                      std::span<const core::GradientPair> gradients,
                                                                      std::span<const std::uint32_t> rows,
                                                                      const core::FeatureTile& tile,
                                                                      std::size_t bins_per_feature) {
  check_tile_inside(binned, tile);
  const std::size_t start = tile.start_feature;
  const std::size_t end = tile.end_feature;
  const bool column_major = !binned.bins_column_major.empty() &&
                            !per_feature_reads_row_major(rows, binned.feature_count, end - start, binned.bins.width());
  const core::BinStorage& source = column_major ? binned.bins_column_major : binned.bins;
  std::size_t row_limit = 0;
  if (column_major) {
    // Feature f's codes are the rows [f * R, (f + 1) * R).
    const auto needed = support::checked_mul(end, binned.row_count);
    if (!needed || *needed > source.size()) support::panic("column-major bin codes are shorter than the matrix");
    row_limit = std::min(gradients.size(), binned.row_count);
  } else {
    row_limit = row_major_row_limit(binned, gradients.size(), source.size(), end);
  }
  std::vector<core::FeatureHistogram> output;
  output.reserve(end - start);
  std::vector<std::vector<core::HistogramBin>>& lists = taken_lists(end - start, bins_per_feature);
  source.visit([&](auto codes) {
    for (std::size_t f = start; f < end; ++f) {
      core::FeatureHistogram histogram{std::move(lists[f - start]), static_cast<std::uint32_t>(f)};
      std::fill(histogram.bins.begin(), histogram.bins.end(), core::HistogramBin{});
      if (column_major) {
        accumulate_feature(codes, 1, f * binned.row_count, f, gradients, rows, row_limit, std::span(histogram.bins));
      } else {
        accumulate_feature(codes, binned.feature_count, f, f, gradients, rows, row_limit, std::span(histogram.bins));
      }
      output.push_back(std::move(histogram));
    }
  });
  return output;
}

std::vector<core::FeatureHistogram> build_feature_histograms_for_tile(const core::BinnedMatrix& binned,
                                                                      std::span<const core::GradientPair> gradients,
                                                                      const core::NodeSlice& node,
                                                                      const core::FeatureTile& tile,
                                                                      std::size_t bins_per_feature,
                                                                      bool contiguous_rows) {
  if (tile.end_feature > binned.feature_count) {
    throw engine::EngineError::contract_violation("feature tile end " + std::to_string(tile.end_feature) +
                                                  " exceeds feature_count " + std::to_string(binned.feature_count));
  }
  const std::size_t width = tile.end_feature > tile.start_feature ? tile.end_feature - tile.start_feature : 0;
  // Both loops give the same sums; the arena loop reads the row-major codes, whose row holds all
  // of a tile's codes in one cache line, so it also wins for nodes whose rows are scattered.
  // Rows in one run read the column-major codes instead: each feature's codes then lie in
  // sequence, and a tile reads only its own features' bytes.
  const std::span<const std::uint32_t> rows = node.row_indices;
  if (tile_uses_arena(rows.size(), width, bins_per_feature)) {
    if (contiguous_rows && !binned.bins_column_major.empty()) {
      return build_tile_histograms_from_columns(binned, gradients, rows.front(), rows.size(), tile, bins_per_feature);
    }
    return build_tile_histograms_with_arena(binned, gradients, rows, tile, bins_per_feature);
  }
  return build_tile_histograms_per_feature(binned, gradients, rows, tile, bins_per_feature);
}

bool rows_are_contiguous(std::span<const std::uint32_t> rows) {
  if (rows.empty() || rows.back() < rows.front() || rows.back() - rows.front() + std::size_t{1} != rows.size()) {
    return false;
  }
  // Compared in blocks without an early exit inside, so that the compiler can vectorize.
  const std::uint32_t first = rows.front();
  const auto run_holds = [&](std::size_t begin, std::size_t end) {
    constexpr std::size_t kBlock = 1024;
    for (std::size_t i = begin; i < end; i += kBlock) {
      const std::size_t block_end = std::min(end, i + kBlock);
      std::uint32_t differ = 0;
      for (std::size_t k = i; k < block_end; ++k) differ |= rows[k] ^ (first + static_cast<std::uint32_t>(k));
      if (differ != 0) return false;
    }
    return true;
  };
  if (rows.size() < kParallelContiguityRows) return run_holds(0, rows.size());
  // A root of every row is read once per round before its histograms, while the pool waits.
  std::atomic<bool> broken{false};
  parallel::parallel_for_chunks(rows.size(), kParallelContiguityRows / 2, [&](std::size_t begin, std::size_t end) {
    if (!broken.load(std::memory_order_relaxed) && !run_holds(begin, end)) {
      broken.store(true, std::memory_order_relaxed);
    }
  });
  return !broken.load(std::memory_order_relaxed);
}

std::vector<core::FeatureTile> histogram_passes(std::span<const core::FeatureTile> tiles, std::size_t feature_count,
                                                std::size_t threads) {
  std::vector<core::FeatureTile> passes;
  passes.reserve(tiles.size());
  bool all_valid = true;
  bool last_valid = false;
  for (const core::FeatureTile& tile : tiles) {
    // A tile the build refuses stays alone, so that it fails exactly as it would on its own.
    const bool valid = tile.start_feature < tile.end_feature && tile.end_feature <= feature_count;
    all_valid = all_valid && valid;
    if (valid && last_valid && passes.back().end_feature == tile.start_feature &&
        tile.end_feature - passes.back().start_feature <= kMaxPassFeatures) {
      passes.back().end_feature = tile.end_feature;
    } else {
      passes.push_back(tile);
    }
    last_valid = valid;
  }
  if (threads <= 1 || !all_valid) return passes;

  std::size_t total_width = 0;
  for (const core::FeatureTile& pass : passes) total_width += pass.end_feature - pass.start_feature;
  const std::size_t piece_count = std::min(threads, total_width / kMinPieceFeatures);
  if (piece_count <= passes.size()) return passes;
  // Cut the passes' features, taken one after another, into piece_count runs of near-equal
  // length, and a run that spans two passes at their boundary.
  std::vector<core::FeatureTile> pieces;
  pieces.reserve(piece_count + passes.size());
  std::size_t position = 0;  // features of the sequence before the current pass
  std::size_t run = 0;       // the run the next feature belongs to
  for (const core::FeatureTile& pass : passes) {
    std::size_t start = pass.start_feature;
    while (start < pass.end_feature) {
      const std::size_t offset = position + (start - pass.start_feature);
      while ((run + 1) * total_width / piece_count <= offset) ++run;
      const std::size_t run_end = (run + 1) * total_width / piece_count;
      const std::size_t end = std::min<std::size_t>(pass.end_feature, start + (run_end - offset));
      pieces.push_back(core::FeatureTile{static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end)});
      start = end;
    }
    position += pass.end_feature - pass.start_feature;
  }
  return pieces;
}

core::HistogramBundle build_histograms(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                       const core::NodeSlice& node, std::span<const core::FeatureTile> feature_tiles,
                                       std::span<const core::GradientPair> node_pairs) {
  if (gradients.size() != binned.row_count) {
    throw engine::EngineError::contract_violation("gradients length " + std::to_string(gradients.size()) +
                                                  " does not match row_count " + std::to_string(binned.row_count));
  }
  if (feature_tiles.empty()) throw engine::EngineError::contract_violation("feature_tiles cannot be empty");
  // max_bin 65535 gives 65536 bins: computed in size_t.
  const std::size_t bins_per_feature = static_cast<std::size_t>(binned.max_bin) + 1;
  // Only the column loop asks, and only of nodes the arena loop serves. Rows in one run lie
  // inside the matrix when the last one does: a root of every row is not checked row by row.
  const bool contiguous_rows = !binned.bins_column_major.empty() && bins_per_feature <= kArenaMaxBins &&
                               rows_are_contiguous(node.row_indices);
  if (!contiguous_rows || node.row_indices.back() >= binned.row_count) {
    engine::with_core_errors([&] { node.validate_bounds(binned.row_count); });
  }

  std::size_t total_width = 0;
  for (const core::FeatureTile& tile : feature_tiles) {
    if (tile.end_feature > tile.start_feature) total_width += tile.end_feature - tile.start_feature;
  }
  core::HistogramBundle bundle;
  bundle.node_id = node.node_id;
  bundle.histograms.reserve(total_width);

  const std::size_t cells = saturating_product(node.row_indices.size(), total_width);
  const std::size_t pool = parallel::current_num_threads();
  const std::vector<core::FeatureTile> passes = histogram_passes(feature_tiles, binned.feature_count, 1);
  // Scattered rows whose codes a gathered build may copy into columns (a tile the build refuses
  // fails on its own loop instead).
  const bool tiles_inside = std::all_of(feature_tiles.begin(), feature_tiles.end(), [&](const core::FeatureTile& t) {
    return t.start_feature < t.end_feature && t.end_feature <= binned.feature_count;
  });
  const bool gatherable = tiles_inside && gathered_build_applies(node.row_indices, total_width, bins_per_feature);
  const auto bundle_of = [&](std::vector<std::vector<core::FeatureHistogram>> per_piece) {
    for (std::vector<core::FeatureHistogram>& histograms : per_piece) {
      for (core::FeatureHistogram& histogram : histograms) bundle.histograms.push_back(std::move(histogram));
    }
    return std::move(bundle);
  };
  if (feature_tiles.size() > 1 && cells >= kParallelTileCells && pool > 1) {
    const std::size_t team = std::clamp<std::size_t>(cells / kParallelCellsPerThread, 2, pool);
    // Rows in one run are summed from the column-major codes four features at a time whatever
    // the piece: cut as finely as that, their pieces let the threads that arrive first take the
    // share of one that is still busy elsewhere (a worker summing the round's diagnostics while
    // the root is built, say).
    const bool indexed = gatherable && indexed_columns_apply(binned, node.row_indices, total_width);
    const std::size_t piece_target = contiguous_rows || indexed ? total_width / kMinPieceFeatures : team;
    const std::vector<core::FeatureTile> pieces = histogram_passes(feature_tiles, binned.feature_count, piece_target);
    // Every piece is built; the first failure in piece order (which is tile order) is rethrown
    // after all have finished.
    std::vector<std::vector<core::FeatureHistogram>> per_piece;
    if (indexed) {
      per_piece = build_indexed_column_pieces(binned, gradients, node.row_indices, pieces, bins_per_feature, team,
                                              node_pairs);
    } else if (gatherable) {
      per_piece = build_gathered_pieces(binned, gradients, node.row_indices, passes, pieces, bins_per_feature, team,
                                        node_pairs);
    } else {
      per_piece = parallel::parallel_map<std::vector<core::FeatureHistogram>>(
          pieces.size(),
          [&](std::size_t p) {
            return build_feature_histograms_for_tile(binned, gradients, node, pieces[p], bins_per_feature,
                                                     contiguous_rows);
          },
          parallel::kDefaultMinParallel, team);
    }
    return bundle_of(std::move(per_piece));
  }
  // Scattered rows are gathered into columns first on this thread too, from a couple of hundred
  // rows on or wherever the arena loop would serve them: the row-first loop touches every
  // feature's bins for each row, more than the core's first-level cache holds, and the
  // per-feature loop reads each row once per feature, where the column loop sums four features
  // at a time inside that cache. On 28 features the gathered build took about two thirds of the
  // time of the others at 512 rows and half at a few thousand. Larger nodes (a pool of one
  // thread builds them all here) stay with the arena loop: the scratch region keeps the pages of
  // the largest block it ever served, and a one-thread fit on 1,000,000 x 28 rows held 16 MiB
  // more with them for 1% of its time.
  const std::size_t n = node.row_indices.size();
  const bool gathers = gatherable && n * total_width <= kSerialGatherMaxCodes &&
                       (n >= kSerialGatherMinRows ||
                        std::all_of(passes.begin(), passes.end(), [&](const core::FeatureTile& pass) {
                          return tile_uses_arena(n, pass.end_feature - pass.start_feature, bins_per_feature);
                        }));
  if (gathers) {
    return bundle_of(
        build_gathered_pieces(binned, gradients, node.row_indices, passes, passes, bins_per_feature, 1, node_pairs));
  }
  for (const core::FeatureTile& pass : passes) {
    for (core::FeatureHistogram& histogram :
         build_feature_histograms_for_tile(binned, gradients, node, pass, bins_per_feature, contiguous_rows)) {
      bundle.histograms.push_back(std::move(histogram));
    }
  }
  return bundle;
}

}  // namespace kestrune::backend_cpu

// Histogram building: for one tree node and a list of feature tiles, the node's gradient pairs
// summed per feature and bin code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "backend_cpu/arena.hpp"
#include "core/binned.hpp"
#include "core/histogram.hpp"

namespace kestrune::backend_cpu {

// Tiles are built on the pool only when there is more than one and the node covers at least
// this many row-feature cells.
inline constexpr std::size_t kParallelTileCells = 131072;

// The bundle of the node: for the tiles in the given order, one histogram of max_bin + 1 bins
// per feature, features ascending within a tile. Checks, first failure wins:
//   gradients length != row_count -> ContractViolation "gradients length {} does not match row_count {}"
//   no tiles                      -> ContractViolation "feature_tiles cannot be empty"
//   a node row >= row_count        -> the NodeSlice bounds error, wrapped as EngineError::Core
//   a tile end > feature_count     -> ContractViolation "feature tile end {} exceeds feature_count {}"
// A visited bin code not below max_bin + 1 is an internal error (panic). In parallel, every
// tile is built and the first failure in tile order is reported.
core::HistogramBundle build_histograms(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                       const core::NodeSlice& node, std::span<const core::FeatureTile> feature_tiles);

// The histograms of one tile's features, each of bins_per_feature bins. Chooses the row-first
// arena loop for nodes of many rows and small bin counts, the per-feature loop otherwise.
std::vector<core::FeatureHistogram> build_feature_histograms_for_tile(const core::BinnedMatrix& binned,
                                                                      std::span<const core::GradientPair> gradients,
                                                                      const core::NodeSlice& node,
                                                                      const core::FeatureTile& tile,
                                                                      std::size_t bins_per_feature);

// True when a tile of `width` features over `rows` node rows is built with the arena loop.
bool tile_uses_arena(std::size_t rows, std::size_t width, std::size_t bins_per_feature);

// The two loops, callable directly so that they can be compared on the same input. The tile
// must lie inside the matrix (panic otherwise).
std::vector<core::FeatureHistogram> build_tile_histograms_with_arena(const core::BinnedMatrix& binned,
                                                                     std::span<const core::GradientPair> gradients,
                                                                     std::span<const std::uint32_t> rows,
                                                                     const core::FeatureTile& tile,
                                                                     std::size_t bins_per_feature);
std::vector<core::FeatureHistogram> build_tile_histograms_per_feature(const core::BinnedMatrix& binned,
                                                                      std::span<const core::GradientPair> gradients,
                                                                      std::span<const std::uint32_t> rows,
                                                                      const core::FeatureTile& tile,
                                                                      std::size_t bins_per_feature);

// Appends one histogram of bin_count bins per arena feature, feature_index start_feature + k.
// Cells at or above bin_count (the arena's stride may be wider) must have stayed empty: a row
// counted there had a bin code out of range, which panics.
void materialize_tile_histograms(std::uint32_t start_feature, const HistogramArena& arena, std::size_t bin_count,
                                 std::vector<core::FeatureHistogram>& output);

}  // namespace kestrune::backend_cpu

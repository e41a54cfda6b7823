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

// A parallel build uses one thread per this many row-feature cells (at least 2, at most the
// pool): 40 to 130 us of summing each (0.6 ns a cell for rows in sequence, up to 2 ns for
// scattered ones), several times what a worker's wake-up costs on a busy machine. A node at the
// threshold uses 2 threads; one of 28 features uses all 8 from about 19,000 rows.
inline constexpr std::size_t kParallelCellsPerThread = 65536;

// The narrowest piece a parallel build cuts its tiles into. One pass over the node's rows serves
// all of a piece's features, so narrow pieces repeat the per-row work (row index, gradient pair,
// the row's cache line) once per piece: on 1,000,000 rows x 28 features the pass costs 0.57 ns
// per row-feature for one piece of 28, 0.81 for pieces of 7, 0.98 for pieces of 4 and 1.48 for
// pieces of 2. Pieces of 4 still let 7 threads share 28 features at a 1.7x total cost. (Rows in
// one run are summed from the column-major codes four features at a time whatever the piece, so
// there pieces of 4 cost nothing extra.)
inline constexpr std::size_t kMinPieceFeatures = 4;

// Scattered rows from which a node built on one thread is gathered into columns whatever its
// width (28 features: 256 rows 20 us gathered against 24 us, 128 rows 17 against 15).
inline constexpr std::size_t kSerialGatherMinRows = 192;
// ... and up to this many codes (rows times features).
inline constexpr std::size_t kSerialGatherMaxCodes = std::size_t{1} << 21;

// The bundle of the node: for the tiles in the given order, one histogram of max_bin + 1 bins
// per feature, features ascending within a tile. Checks, first failure wins:
//   gradients length != row_count -> ContractViolation "gradients length {} does not match row_count {}"
//   no tiles                      -> ContractViolation "feature_tiles cannot be empty"
//   a node row >= row_count        -> the NodeSlice bounds error, wrapped as EngineError::Core
//   a tile end > feature_count     -> ContractViolation "feature tile end {} exceeds feature_count {}"
// A visited bin code not below max_bin + 1 is an internal error (panic). In parallel, every
// tile is built and the first failure in tile order is reported. `node_pairs`, when it holds one
// pair per node row, are gradients[row] in node order (a partition's smaller_side_pairs): a
// gathered build reads them instead of looking the pairs up.
core::HistogramBundle build_histograms(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                       const core::NodeSlice& node, std::span<const core::FeatureTile> feature_tiles,
                                       std::span<const core::GradientPair> node_pairs = {});

// The widest pass the build makes of adjacent tiles: the arena of 64 features (266 KiB for 8-bit
// codes) is as wide as the widest tile the tiling forms.
inline constexpr std::size_t kMaxPassFeatures = 64;

// The feature ranges the build makes one pass over the node's rows for, in order: runs of
// adjacent tiles joined up to kMaxPassFeatures features, and with `threads` > 1 (a parallel
// build) those runs cut into about `threads` pieces of at least kMinPieceFeatures features.
// Joining keeps the pass width, and with it the loop choice and the rows' memory traffic, the same
// whatever width the tiling gave its tiles for the pool size. Each feature's histogram is summed
// over the node's rows in order whatever pass it is in, so neither changes a bit of the bundle.
// A tile that is empty or leaves the matrix (the build refuses it) stays a pass of its own and
// stops the cutting, so that the build fails on it exactly as on the tile.
std::vector<core::FeatureTile> histogram_passes(std::span<const core::FeatureTile> tiles, std::size_t feature_count,
                                                std::size_t threads);

// The histograms of one tile's features, each of bins_per_feature bins. Chooses the row-first
// arena loop for nodes of many rows and small bin counts (the column loop instead when
// `contiguous_rows`, see rows_are_contiguous, and the matrix keeps its column-major codes), the
// per-feature loop otherwise.
std::vector<core::FeatureHistogram> build_feature_histograms_for_tile(const core::BinnedMatrix& binned,
                                                                      std::span<const core::GradientPair> gradients,
                                                                      const core::NodeSlice& node,
                                                                      const core::FeatureTile& tile,
                                                                      std::size_t bins_per_feature,
                                                                      bool contiguous_rows);

// True when rows[k] == rows[0] + k for every k: the rows are one ascending run of the matrix, as
// the root's are in a round without row sampling.
bool rows_are_contiguous(std::span<const std::uint32_t> rows);

// True when a tile of `width` features over `rows` node rows is built with the arena loop.
bool tile_uses_arena(std::size_t rows, std::size_t width, std::size_t bins_per_feature);

// The per-feature loop reads the row-major codes instead of the column-major copy when the node's
// rows are few and scattered: each row's codes then arrive in one cache line and stay cached for
// the tile's other features, where the column-major copy costs a line per row and feature. Only
// while the rows' codes fit in this many bytes of cache.
inline constexpr std::size_t kRowMajorCacheBytes = std::size_t{256} << 10;

// True when the per-feature loop over `rows` (`width` features of a matrix of feature_count
// codes a row) reads the row-major codes.
bool per_feature_reads_row_major(std::span<const std::uint32_t> rows, std::size_t feature_count, std::size_t width,
                                 core::BinWidth code_width);

// The loops, callable directly so that they can be compared on the same input. The tile
// must lie inside the matrix (panic otherwise).
std::vector<core::FeatureHistogram> build_tile_histograms_with_arena(const core::BinnedMatrix& binned,
                                                                     std::span<const core::GradientPair> gradients,
                                                                     std::span<const std::uint32_t> rows,
                                                                     const core::FeatureTile& tile,
                                                                     std::size_t bins_per_feature);
// The arena loop over column-major codes for the rows first_row .. first_row + row_count - 1,
// in groups of kColumnGroupFeatures features. The matrix must keep its column-major codes
// (panic otherwise), and a row outside the matrix panics.
std::vector<core::FeatureHistogram> build_tile_histograms_from_columns(const core::BinnedMatrix& binned,
                                                                       std::span<const core::GradientPair> gradients,
                                                                       std::uint32_t first_row, std::size_t row_count,
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

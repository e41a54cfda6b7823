#include "backend_cpu/histogram.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "backend_cpu/arena.hpp"
#include "backend_cpu/histogram_gather.hpp"
#include "backend_cpu/histogram_kernels.hpp"
#include "backend_test_support.hpp"

namespace kestrune::backend_cpu {
namespace {

using core::FeatureTile;
using test::expect_same_histograms, test::MatrixShape, test::naive_histograms;
using Tiles = std::vector<FeatureTile>;

// Both loops and the public entry agree bit for bit with the definition, for 8- and 16-bit
// storage (up to the 65536 bins of the widest code), with and without the column-major copy, on
// rows in any order, around the row counts where the loop choice changes.
TEST(HistogramBuild, EveryLoopMatchesTheNaiveSums) {
  const std::pair<MatrixShape, std::size_t> cases[] = {  // the matrix, the node's rows (even: sorted)
      {{600, 37, 255, 255, false, true, 0.15}, 600},   {{500, 30, 255, 255, false, false, 0.1}, 333},
      {{400, 25, 15, 255, false, true, 0.0}, 401},     {{200, 600, 255, 255, false, false, 0.2}, 32},
      {{200, 600, 255, 255, false, true, 0.2}, 33},    {{12000, 24, 255, 255, false, true, 0.1}, 11500},
      {{700, 24, 299, 299, true, true, 0.2}, 513},     {{300, 64, 510, 510, true, false, 0.1}, 301},
      {{60, 3, 65535, 65535, true, true, 0.2}, 51}};
  std::mt19937 rng(7);
  for (const auto& [shape, node_rows] : cases) {
    SCOPED_TRACE(::testing::Message() << shape.rows << " x " << shape.features << ", max bin " << shape.max_bin);
    const core::BinnedMatrix binned = test::random_matrix(shape, rng);
    const auto gradients = test::random_gradients(shape.rows, rng);
    const auto rows = test::random_rows(shape.rows, node_rows, node_rows % 2 == 1, rng);
    const std::size_t bins = binned.max_bin + 1u;
    const FeatureTile whole{0, static_cast<std::uint32_t>(shape.features)};
    const auto expected = naive_histograms(binned, gradients, rows, {whole});
    expect_same_histograms(build_tile_histograms_per_feature(binned, gradients, rows, whole, bins), expected);
    if (bins < 512) {
      expect_same_histograms(build_tile_histograms_with_arena(binned, gradients, rows, whole, bins), expected);
    }
    // Uneven tiles through the public entry: the bundle lists the tiles' features in order.
    Tiles tiles;
    for (std::uint32_t start = 0; start < shape.features;) {
      const std::uint32_t end = std::min<std::uint32_t>(start + 1 + start % 7, shape.features);
      tiles.push_back(FeatureTile::make(start, end));
      start = end;
    }
    const core::HistogramBundle bundle = build_histograms(binned, gradients, core::NodeSlice::make(42, rows), tiles);
    EXPECT_EQ(bundle.node_id, 42u);
    expect_same_histograms(bundle.histograms, expected);
  }
}

// Through the public entry, below and above the parallel threshold (the pool gathers scattered
// rows for both code widths and every arena layout): scattered, sorted and contiguous nodes, a
// repeated row, few wide tiles and many narrow ones with gaps and out of order; the bundle is the
// definition's whatever the pool size of the process.
TEST(HistogramBuild, ParallelNodesMatchTheDefinition) {
  // Valid tiles are cut into a piece per thread; a refused tile stays whole, failing as it would alone.
  EXPECT_EQ(histogram_passes(Tiles{{0, 16}, {16, 28}}, 28, 4).size(), 4u);
  EXPECT_EQ(histogram_passes(Tiles{{0, 16}, {16, 40}}, 28, 8).size(), 2u);
  std::mt19937 rng(12);
  for (const MatrixShape shape : {MatrixShape{12000, 300, 255, 255, false, true, 0.1},
                                  MatrixShape{9000, 40, 15, 255, false, false, 0.0},
                                  MatrixShape{9000, 40, 510, 510, true, true, 0.1}}) {
    const core::BinnedMatrix binned = test::random_matrix(shape, rng);
    const auto gradients = test::random_gradients(shape.rows, rng);
    Tiles many;
    for (std::uint32_t start = 0; start < shape.features; start += 13) {
      many.push_back({start, std::min<std::uint32_t>(start + 12, shape.features)});
    }
    std::swap(many[0], many[2]);
    std::vector<std::uint32_t> contiguous(6000);
    for (std::uint32_t r = 0; r < contiguous.size(); ++r) contiguous[r] = 3000 + r;
    auto repeated = test::random_rows(shape.rows, 5000, true, rng);
    repeated.push_back(repeated.front());  // a repeated row counts twice
    for (const auto& rows : {test::random_rows(shape.rows, 100, true, rng),
                             test::random_rows(shape.rows, 7000, false, rng), repeated, contiguous}) {
      for (const Tiles& tiles : {Tiles{{0, 16}, {16, 28}}, many}) {
        expect_same_histograms(build_histograms(binned, gradients, core::NodeSlice::make(5, rows), tiles).histograms,
                               naive_histograms(binned, gradients, rows, tiles));
      }
    }
  }
}

// Counts stay exact past the float32 range of whole numbers because the float counts are carried
// into integers every so many rows; a short carry period exercises the same path on small data.
TEST(HistogramArena, CarriedCountsMatchTheDefinition) {
  std::mt19937 rng(31);
  const core::BinnedMatrix binned = test::random_matrix({300, 6, 255, 255, false, true, 0.3}, rng);
  const auto gradients = test::random_gradients(300, rng);
  const auto rows = test::random_rows(300, 300, true, rng);
  for (const std::size_t carry_every : {1u, 7u, 299u, 300u}) {
    HistogramArena arena(6, 256);
    accumulate_tile_row_first<256, false>(binned.bins.u8(), 6, std::span(gradients), std::span(rows), 300, 0, 6, arena,
                                          256, carry_every);
    std::vector<core::FeatureHistogram> built;
    materialize_tile_histograms(0, arena, 256, built);
    expect_same_histograms(built, naive_histograms(binned, gradients, rows, {{0, 6}}));
  }
}

// A code above max_bin (the missing bin of a matrix whose max_bin lies below it) stops the build
// on every loop, for both widths, serially and on the pool; rows that avoid the bad cell build
// normally.
TEST(HistogramBuild, CodeAboveMaxBinPanicsOnEveryLoop) {
  std::mt19937 rng(5);
  for (const MatrixShape shape : {MatrixShape{400, 70, 15, 255, false, true, 0.0},
                                  MatrixShape{400, 70, 300, 301, true, true, 0.0}}) {
    core::BinnedMatrix binned = test::random_matrix(shape, rng);
    binned.set_bin(399, 69, shape.missing_bin);
    const auto gradients = test::random_gradients(400, rng);
    std::vector<std::uint32_t> rows = test::random_rows(400, 400, false, rng);
    const std::size_t bins = shape.max_bin + 1u;
    const FeatureTile tile{60, 70};
    const Tiles tiles{{0, 35}, {35, 70}};
    std::vector<std::uint32_t> scattered = test::random_rows(400, 300, true, rng);
    scattered.push_back(399);
    EXPECT_TRUE(test::panics_with([&] { build_tile_histograms_with_arena(binned, gradients, rows, tile, bins); }, "code"));
    EXPECT_TRUE(test::panics_with([&] { build_tile_histograms_per_feature(binned, gradients, rows, tile, bins); }, "code"));
    EXPECT_TRUE(test::panics_with([&] { build_histograms(binned, gradients, core::NodeSlice::make(0, rows), tiles); },
                                  "bin code"));
    EXPECT_TRUE(test::panics_with(
        [&] {
          build_gathered_pieces(binned, gradients, scattered, histogram_passes(tiles, 70, 1),
                                histogram_passes(tiles, 70, 4), bins, 4);
        },
        "bin code"));
    rows.pop_back();
    EXPECT_NO_THROW(build_histograms(binned, gradients, core::NodeSlice::make(0, rows), tiles));
  }
  ThreadArenaBorrow first;
  EXPECT_TRUE(test::panics_with([] { ThreadArenaBorrow second; }, "already borrowed"));
}

}  // namespace
}  // namespace kestrune::backend_cpu

// How a parallel histogram build divides its work: tiles joined into passes, passes cut into
// pieces for the pool, and the gathered build for scattered rows. None of it may change a bit.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "backend_cpu/histogram.hpp"
#include "backend_cpu/histogram_gather.hpp"
#include "backend_test_support.hpp"

namespace kestrune::backend_cpu {
namespace {

using core::FeatureTile;
using test::MatrixShape;
using Tiles = std::vector<FeatureTile>;

std::vector<std::uint32_t> features_of(const Tiles& tiles) {
  std::vector<std::uint32_t> features;
  for (const FeatureTile& tile : tiles) {
    for (std::uint32_t f = tile.start_feature; f < tile.end_feature; ++f) features.push_back(f);
  }
  return features;
}

std::string text(const Tiles& tiles) {
  std::string out;
  for (const FeatureTile& t : tiles) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on the chained temporaries.
    out.append("[").append(std::to_string(t.start_feature)).append(",").append(std::to_string(t.end_feature)).append(")");
  }
  return out;
}

TEST(HistogramPasses, JoinAdjacentTilesAndCutForThePool) {
  struct Case {
    const char* name;
    Tiles tiles;
    std::size_t feature_count;
    std::size_t threads;
    Tiles expected;
  };
  const Case cases[] = {
      {"adjacent tiles join", {{0, 16}, {16, 28}}, 28, 1, {{0, 28}}},
      {"no pass wider than 64", {{0, 16}, {16, 32}, {32, 48}, {48, 64}, {64, 80}}, 80, 1, {{0, 64}, {64, 80}}},
      {"gaps and order kept", {{5, 8}, {0, 2}, {2, 4}, {6, 9}}, 9, 1, {{5, 8}, {0, 4}, {6, 9}}},
      {"a tile leaving the matrix stays alone", {{0, 8}, {8, 12}}, 10, 1, {{0, 8}, {8, 12}}},
      {"an empty tile stays alone", {{0, 4}, {4, 4}, {4, 6}}, 6, 1, {{0, 4}, {4, 4}, {4, 6}}},
      {"8 threads: pieces of 4", {{0, 16}, {16, 28}}, 28, 8,
       {{0, 4}, {4, 8}, {8, 12}, {12, 16}, {16, 20}, {20, 24}, {24, 28}}},
      {"4 threads: pieces of 7", {{0, 16}, {16, 28}}, 28, 4, {{0, 7}, {7, 14}, {14, 21}, {21, 28}}},
      {"a piece spanning a gap is cut there", {{0, 10}, {20, 30}}, 30, 3, {{0, 6}, {6, 10}, {20, 23}, {23, 30}}},
      {"no piece narrower than 4 features", {{0, 5}, {5, 11}}, 11, 8, {{0, 5}, {5, 11}}},
      {"passes enough for the threads", {{0, 64}, {64, 128}, {128, 192}}, 192, 2, {{0, 64}, {64, 128}, {128, 192}}},
      {"no cut with a bad tile", {{0, 16}, {16, 40}}, 28, 8, {{0, 16}, {16, 40}}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text(histogram_passes(c.tiles, c.feature_count, c.threads)), text(c.expected)) << c.name;
  }
}

// Random tile lists and thread counts: the pieces list the tiles' features in order, none is
// empty or crosses a gap, and there are about as many as threads.
TEST(HistogramPasses, PiecesCoverTheTilesInOrder) {
  std::mt19937 rng(21);
  for (int trial = 0; trial < 300; ++trial) {
    Tiles tiles;
    std::uint32_t next = static_cast<std::uint32_t>(rng() % 5);
    const std::size_t count = 1 + rng() % 6;
    for (std::size_t t = 0; t < count; ++t) {
      const std::uint32_t width = 1 + static_cast<std::uint32_t>(rng() % 64);  // as wide as the tiling makes them
      tiles.push_back({next, next + width});
      next += width + (rng() % 3 == 0 ? static_cast<std::uint32_t>(rng() % 4) : 0);
    }
    const std::size_t threads = 1 + rng() % 12;
    const Tiles pieces = histogram_passes(tiles, next, threads);
    SCOPED_TRACE(text(tiles) + " threads " + std::to_string(threads) + " -> " + text(pieces));
    EXPECT_EQ(features_of(pieces), features_of(tiles));
    for (const FeatureTile& piece : pieces) {
      EXPECT_LT(piece.start_feature, piece.end_feature);
      EXPECT_LE(piece.end_feature - piece.start_feature, kMaxPassFeatures);
    }
    const std::size_t width = features_of(tiles).size();
    const std::size_t passes = histogram_passes(tiles, next, 1).size();
    if (threads > 1 && width / kMinPieceFeatures > passes) {
      EXPECT_GE(pieces.size(), std::min(threads, width / kMinPieceFeatures));
      EXPECT_LE(pieces.size(), std::min(threads, width / kMinPieceFeatures) + passes - 1);
    }
  }
}

TEST(HistogramGather, AppliesToScatteredRowsOfArenaBinCounts) {
  const std::vector<std::uint32_t> run{7, 8, 9, 10};
  const std::vector<std::uint32_t> scattered{1, 5, 9, 40};
  const std::vector<std::uint32_t> repeated{3, 3, 4, 9};
  EXPECT_FALSE(gathered_build_applies(run, 28, 256)) << "a contiguous run is read in sequence already";
  EXPECT_TRUE(gathered_build_applies(scattered, 28, 256));
  EXPECT_TRUE(gathered_build_applies(repeated, 28, 511));
  EXPECT_FALSE(gathered_build_applies(scattered, 28, 512)) << "no arena for 512 bins";
  EXPECT_FALSE(gathered_build_applies({}, 28, 256));
  EXPECT_FALSE(gathered_build_applies(scattered, kMaxGatheredCodes / 2, 256)) << "block too large";
}

// The gathered build against the definition, for both code widths and the three arena layouts,
// rows in any order (repeats included), tiles with gaps and out of order, and any cut.
TEST(HistogramGather, PiecesMatchTheNaiveSums) {
  struct Case {
    const char* name;
    MatrixShape shape;
    std::size_t node_rows;
    Tiles tiles;
  };
  const Case cases[] = {
      {"u8 256 bins", {3000, 30, 255, 255, false, true, 0.2}, 1700, {{0, 16}, {16, 30}}},
      {"u8 16 bins, gaps, out of order", {2000, 40, 15, 255, false, false, 0.0}, 900, {{20, 33}, {0, 9}, {35, 40}}},
      {"u16 300 bins", {1500, 26, 299, 299, true, true, 0.2}, 1200, {{0, 13}, {13, 26}}},
      {"u16 511 bins", {1000, 12, 510, 510, true, true, 0.1}, 999, {{2, 12}}},
  };
  std::mt19937 rng(4);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const core::BinnedMatrix binned = test::random_matrix(c.shape, rng);
    const auto gradients = test::random_gradients(c.shape.rows, rng);
    std::vector<std::uint32_t> rows = test::random_rows(c.shape.rows, c.node_rows, true, rng);
    rows.push_back(rows.front());  // a repeated row counts twice, as in the other loops
    const std::size_t bins = binned.max_bin + 1u;
    const Tiles passes = histogram_passes(c.tiles, c.shape.features, 1);
    for (const std::size_t threads : {1u, 2u, 5u, 8u}) {
      const Tiles pieces = histogram_passes(c.tiles, c.shape.features, threads);
      // The node's pairs handed over in node order must give the same sums as the gathered ones.
      std::vector<core::GradientPair> node_pairs;
      for (const std::uint32_t row : rows) node_pairs.push_back(gradients[row]);
      const auto built = build_gathered_pieces(binned, gradients, rows, passes, pieces, bins, threads,
                                               threads % 2 == 0 ? node_pairs : std::vector<core::GradientPair>{});
      ASSERT_EQ(built.size(), pieces.size());
      std::size_t k = 0;
      for (std::size_t p = 0; p < pieces.size(); ++p) {
        ASSERT_EQ(built[p].size(), pieces[p].end_feature - pieces[p].start_feature);
        for (const core::FeatureHistogram& histogram : built[p]) {
          const std::uint32_t feature = features_of(c.tiles)[k++];
          EXPECT_TRUE(test::same_histogram(histogram, test::naive_histogram(binned, gradients, rows, feature, bins)))
              << "threads " << threads << " feature " << feature;
        }
      }
    }
  }
}

TEST(HistogramGather, CodesAboveMaxBinPanic) {
  struct Case {
    const char* name;
    MatrixShape shape;
  };
  const Case cases[] = {
      {"u8", {400, 20, 15, 255, false, true, 0.0}},
      {"u16", {400, 20, 300, 301, true, true, 0.0}},
  };
  std::mt19937 rng(9);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    core::BinnedMatrix binned = test::random_matrix(c.shape, rng);
    binned.set_bin(217, 13, c.shape.missing_bin);
    const auto gradients = test::random_gradients(400, rng);
    const auto rows = test::random_rows(400, 400, true, rng);
    const Tiles tiles{{0, 10}, {10, 20}};
    EXPECT_TRUE(test::panics_with(
        [&] {
          build_gathered_pieces(binned, gradients, rows, histogram_passes(tiles, 20, 1), histogram_passes(tiles, 20, 4),
                                c.shape.max_bin + 1u, 4);
        },
        "bin code"));
  }
}

// Through the public entry: scattered and contiguous nodes above the parallel threshold, with the
// tiles of a pool of 8; the bundle is the definition's whatever the pool size of the process.
TEST(HistogramBuild, ParallelNodesMatchTheDefinition) {
  std::mt19937 rng(12);
  const core::BinnedMatrix binned = test::random_matrix({12000, 28, 255, 255, false, true, 0.1}, rng);
  const auto gradients = test::random_gradients(12000, rng);
  const Tiles tiles{{0, 16}, {16, 28}};
  std::vector<std::uint32_t> contiguous(6000);
  for (std::uint32_t r = 0; r < contiguous.size(); ++r) contiguous[r] = 3000 + r;
  for (const auto& rows : {test::random_rows(12000, 7000, false, rng), test::random_rows(12000, 5000, true, rng),
                           contiguous}) {
    const auto bundle = build_histograms(binned, gradients, core::NodeSlice::make(5, rows), tiles);
    ASSERT_EQ(bundle.histograms.size(), 28u);
    for (std::uint32_t f = 0; f < 28; ++f) {
      EXPECT_TRUE(test::same_histogram(bundle.histograms[f], test::naive_histogram(binned, gradients, rows, f, 256)))
          << "feature " << f;
    }
  }
}

// Through the public entry on every layout the pool meets: wide matrices, narrow codes without the
// column-major copy, 16-bit codes; few wide tiles and many narrow ones with gaps and out of order;
// small scattered, large sorted and contiguous nodes, and a node listing a row twice. The bundle is
// the definition's whatever the pool size of the process.
TEST(HistogramBuild, ParallelNodesOfEveryLayoutMatchTheDefinition) {
  std::mt19937 rng(12);
  for (const MatrixShape shape : {MatrixShape{12000, 300, 255, 255, false, true, 0.1},
                                  MatrixShape{9000, 40, 15, 255, false, false, 0.0},
                                  MatrixShape{9000, 40, 510, 510, true, true, 0.1}}) {
    SCOPED_TRACE(::testing::Message() << shape.rows << " x " << shape.features << ", max bin " << shape.max_bin);
    const core::BinnedMatrix binned = test::random_matrix(shape, rng);
    const auto gradients = test::random_gradients(shape.rows, rng);
    Tiles many;
    for (std::uint32_t start = 0; start < shape.features; start += 13) {
      many.push_back({start, std::min<std::uint32_t>(start + 12, static_cast<std::uint32_t>(shape.features))});
    }
    std::swap(many[0], many[2]);
    std::vector<std::uint32_t> contiguous(6000);
    for (std::uint32_t r = 0; r < contiguous.size(); ++r) contiguous[r] = 3000 + r;
    auto repeated = test::random_rows(shape.rows, 5000, true, rng);
    repeated.push_back(repeated.front());  // a repeated row counts twice
    for (const auto& rows : {test::random_rows(shape.rows, 100, true, rng),
                             test::random_rows(shape.rows, 7000, false, rng), repeated, contiguous}) {
      for (const Tiles& tiles : {Tiles{{0, 16}, {16, 28}}, many}) {
        test::expect_same_histograms_in_order(
            build_histograms(binned, gradients, core::NodeSlice::make(5, rows), tiles).histograms,
            test::naive_histograms(binned, gradients, rows, tiles));
      }
    }
  }
}

}  // namespace
}  // namespace kestrune::backend_cpu

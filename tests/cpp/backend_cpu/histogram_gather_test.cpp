// The gathered build copies a node's codes a group of rows at a time, reading each row's codes in
// words and turning them into one word per feature; rows left over at the end of a chunk, narrow
// rows and rows near the end of a short code list take the copy row by row. Whichever way a row
// was copied, every bin must hold the definition's sums, bit for bit. So must the build that
// reads the column-major codes at the node's rows instead, a word of rows at a time.
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

void expect_definition(const core::BinnedMatrix& binned, const std::vector<core::GradientPair>& gradients,
                       const std::vector<std::uint32_t>& rows, const Tiles& tiles, std::size_t threads) {
  const std::size_t bins = binned.max_bin + 1u;
  const Tiles passes = histogram_passes(tiles, binned.feature_count, 1);
  const Tiles pieces = histogram_passes(tiles, binned.feature_count, threads);
  const auto built = build_gathered_pieces(binned, gradients, rows, passes, pieces, bins, threads);
  std::vector<core::GradientPair> node_pairs;
  for (const std::uint32_t row : rows) node_pairs.push_back(gradients[row]);
  // The pairs looked up by row and given in node order.
  const auto indexed = build_indexed_column_pieces(binned, gradients, rows, pieces, bins, threads);
  const auto indexed_given = build_indexed_column_pieces(binned, gradients, rows, pieces, bins, threads, node_pairs);
  for (const auto* by : {&indexed, &indexed_given}) {
    std::vector<core::FeatureHistogram> flat;
    for (const auto& piece : *by) flat.insert(flat.end(), piece.begin(), piece.end());
    test::expect_same_histograms_in_order(flat, test::naive_histograms(binned, gradients, rows, tiles));
  }
  std::vector<core::FeatureHistogram> flat;
  for (const auto& piece : built) flat.insert(flat.end(), piece.begin(), piece.end());
  test::expect_same_histograms_in_order(flat, test::naive_histograms(binned, gradients, rows, tiles));
}

// Node sizes around the group of rows (8 codes of 8 bits, 4 of 16 bits, to a word) and around a
// pool chunk (kGatherChunkRows); rows narrower than a word, one word, a word and one code, and
// several words with a partial last one; passes that start inside a word and that skip features.
TEST(HistogramGatherCopy, EveryNodeSizeAndRowWidthGivesTheDefinition) {
  std::mt19937 rng(31);
  const std::size_t sizes[] = {0,    1,    3,    4,    5,    7,    8,    9,    15,   17,
                               4095, 4096, 4097, 4100, 4103, 4104, 4105, 8191, 8200, 8201};
  for (const bool wide : {false, true}) {
    for (const std::size_t features : {3u, 4u, 5u, 8u, 9u, 28u}) {
      SCOPED_TRACE(::testing::Message() << (wide ? "u16 " : "u8 ") << features << " features");
      const MatrixShape shape{8300, features, wide ? std::uint16_t{299} : std::uint16_t{255},
                              wide ? std::uint16_t{299} : std::uint16_t{255}, wide, true, 0.1};
      const core::BinnedMatrix binned = test::random_matrix(shape, rng);
      const auto gradients = test::random_gradients(shape.rows, rng);
      const std::uint32_t f = static_cast<std::uint32_t>(features);
      std::vector<Tiles> tile_lists{{{0, f}}, {{1, f}}};
      if (features >= 5) tile_lists.push_back({{3, f}, {0, 2}});
      for (const std::size_t n : sizes) {
        const auto rows = test::random_rows(shape.rows, n, n % 2 == 1, rng);
        for (const Tiles& tiles : tile_lists) {
          SCOPED_TRACE(::testing::Message() << n << " rows, tiles from " << tiles.front().start_feature);
          expect_definition(binned, gradients, rows, tiles, 3);
        }
      }
    }
  }
}

// A code list that stops inside the last row: that row holds only the codes the passes read, so
// no word may be read from it; the rows before it are copied in groups as usual.
TEST(HistogramGatherCopy, RowsAtTheEndOfAShortCodeListGiveTheDefinition) {
  std::mt19937 rng(32);
  for (const bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "u16" : "u8");
    const MatrixShape shape{64, 28, 255, 255, wide, true, 0.0};
    core::BinnedMatrix binned = test::random_matrix(shape, rng);
    const std::size_t kept = (shape.rows - 1) * shape.features + 12;  // row 63 ends after feature 11
    binned.bins.visit([&](auto codes) {
      using Code = typename decltype(codes)::value_type;
      binned.bins = core::BinStorage(std::vector<Code>(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(kept)));
    });
    const auto gradients = test::random_gradients(shape.rows, rng);
    std::vector<std::uint32_t> rows = test::random_rows(shape.rows, shape.rows, true, rng);
    expect_definition(binned, gradients, rows, {{0, 12}}, 2);
    std::sort(rows.begin(), rows.end());  // the short row last: its group is copied row by row
    expect_definition(binned, gradients, rows, {{2, 12}}, 2);
  }
}

TEST(HistogramIndexedColumns, ARowOutsideTheMatrixPanics) {
  std::mt19937 rng(33);
  const MatrixShape shape{40, 6, 255, 255, false, true, 0.0};
  const core::BinnedMatrix binned = test::random_matrix(shape, rng);
  const auto gradients = test::random_gradients(shape.rows, rng);
  const Tiles pieces{{0, 6}};
  EXPECT_TRUE(test::panics_with([&] { build_indexed_column_pieces(binned, gradients, {{3, 40, 5}}, pieces, 256, 1); },
                                "histogram row 40 is outside"));
}

}  // namespace
}  // namespace kestrune::backend_cpu

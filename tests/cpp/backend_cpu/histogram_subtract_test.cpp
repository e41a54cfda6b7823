#include "backend_cpu/histogram_subtract.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <vector>

#include "backend_cpu/histogram.hpp"
#include "backend_cpu/partition.hpp"
#include "backend_test_support.hpp"

namespace kestrune::backend_cpu {
namespace {

using test::same_bin;
using test::same_histogram;

// With dyadic gradients every sum is exact, so the sibling derived from the parent equals the
// sibling built from its own rows, bit for bit, on every bin.
TEST(HistogramSubtract, SiblingEqualsItsDirectBuildWhenSumsAreExact) {
  std::mt19937 rng(21);
  for (const bool wide : {false, true}) {
    const test::MatrixShape shape{800, 19, wide ? std::uint16_t{299} : std::uint16_t{255},
                                  wide ? std::uint16_t{299} : std::uint16_t{255}, wide, true, 0.2};
    const core::BinnedMatrix binned = test::random_matrix(shape, rng);
    const auto gradients = test::random_gradients(shape.rows, rng, /*dyadic=*/true);
    const auto parent_rows = test::random_rows(shape.rows, 700, true, rng);
    engine::SplitCandidate split;
    split.feature_index = 5;
    split.threshold_bin = 40;
    const core::PartitionResult parts = partition_rows(binned, gradients, parent_rows, split, 0);
    const std::vector<core::FeatureTile> tiles{{0, 19}};
    const auto parent = build_histograms(binned, gradients, core::NodeSlice::make(0, parent_rows), tiles);
    const auto left = build_histograms(binned, gradients, core::NodeSlice::make(1, parts.left_rows), tiles);
    const auto right = build_histograms(binned, gradients, core::NodeSlice::make(2, parts.right_rows), tiles);
    for (std::size_t f = 0; f < tiles[0].end_feature; ++f) {
      EXPECT_TRUE(same_histogram(subtract_histograms(parent.histograms[f], left.histograms[f]), right.histograms[f]));
      EXPECT_TRUE(same_histogram(subtract_histograms(parent.histograms[f], right.histograms[f]), left.histograms[f]));
    }
  }
}

// With arbitrary floats the sibling is, per bin, the float32 difference parent - child (counts
// exact, wrapping as 32-bit unsigned).
TEST(HistogramSubtract, EveryBinIsTheLaneWiseDifference) {
  std::mt19937 rng(4);
  std::uniform_real_distribution<float> value(-1e3f, 1e3f);
  std::uniform_int_distribution<std::uint32_t> count(0, std::numeric_limits<std::uint32_t>::max());
  for (const std::size_t bins : {0u, 1u, 3u, 256u, 1001u}) {
    core::FeatureHistogram parent{std::vector<core::HistogramBin>(bins), 9};
    core::FeatureHistogram child{std::vector<core::HistogramBin>(bins), 9};
    for (std::size_t i = 0; i < bins; ++i) {
      parent.bins[i] = {value(rng), value(rng), value(rng), count(rng)};
      child.bins[i] = {value(rng), value(rng), value(rng), count(rng)};
    }
    if (bins > 0) parent.bins[0].grad_sum = std::numeric_limits<float>::quiet_NaN();
    const core::FeatureHistogram sibling = subtract_histograms(parent, child);
    ASSERT_EQ(sibling.bins.size(), bins);
    EXPECT_EQ(sibling.feature_index, 9u);
    for (std::size_t i = 0; i < bins; ++i) {
      const core::HistogramBin expected{parent.bins[i].grad_sum - child.bins[i].grad_sum,
                                        parent.bins[i].hess_sum - child.bins[i].hess_sum,
                                        parent.bins[i].grad_sq_sum - child.bins[i].grad_sq_sum,
                                        parent.bins[i].count - child.bins[i].count};
      if (i == 0) {
        EXPECT_TRUE(std::isnan(sibling.bins[0].grad_sum));
        EXPECT_EQ(sibling.bins[0].count, expected.count);
      } else {
        EXPECT_TRUE(same_bin(sibling.bins[i], expected)) << "bin " << i;
      }
    }
  }
}

TEST(HistogramSubtract, OnlyBinsPresentInAllThreeListsAreWritten) {
  const std::vector<core::HistogramBin> parent{{5.0f, 4.0f, 3.0f, 9}, {1.0f, 1.0f, 1.0f, 2}, {7.0f, 7.0f, 7.0f, 7}};
  const std::vector<core::HistogramBin> child{{1.0f, 1.0f, 1.0f, 4}};
  std::vector<core::HistogramBin> out(2, core::HistogramBin{-1.0f, -1.0f, -1.0f, 77});
  subtract_histogram_bins(parent, child, out);
  EXPECT_TRUE(same_bin(out[0], {4.0f, 3.0f, 2.0f, 5}));
  EXPECT_TRUE(same_bin(out[1], {-1.0f, -1.0f, -1.0f, 77}));

  const core::FeatureHistogram sibling = subtract_histograms({parent, 3}, {child, 3});
  ASSERT_EQ(sibling.bins.size(), 3u);
  EXPECT_TRUE(same_bin(sibling.bins[0], {4.0f, 3.0f, 2.0f, 5}));
  EXPECT_TRUE(same_bin(sibling.bins[2], {}));
}

}  // namespace
}  // namespace kestrune::backend_cpu

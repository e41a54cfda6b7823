#include "backend_cpu/cpu_backend.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "backend_cpu/histogram_subtract.hpp"
#include "backend_test_support.hpp"

namespace kestrune::backend_cpu {
namespace {

using test::same_bin;
using test::same_histogram;

// A few levels of growth through the contract, with dyadic gradients so that every sum is
// exact: the split's child statistics from the histograms equal the partition's row sums, and
// the sibling by subtraction equals the sibling built from its rows.
TEST(BackendContract, SplitStatisticsAgreeWithThePartitionAndTheSibling) {
  const CpuBackend backend;
  std::mt19937 rng(2024);
  for (const bool wide : {false, true}) {
    const std::uint16_t max_bin = wide ? 399 : 255;
    const test::MatrixShape shape{5000, 30, max_bin, max_bin, wide, true, 0.15};
    const core::BinnedMatrix binned = test::random_matrix(shape, rng);
    const auto gradients = test::random_gradients(shape.rows, rng, /*dyadic=*/true);
    const std::vector<core::FeatureTile> tiles{{0, 11}, {11, 30}};
    engine::SplitSelectionOptions options;
    options.missing_bin = max_bin;

    std::vector<core::NodeSlice> frontier{core::NodeSlice::make(0, test::random_rows(shape.rows, 4000, false, rng))};
    std::vector<core::HistogramBundle> bundles{backend.build_histograms(binned, gradients, frontier[0], tiles)};
    for (int level = 0; level < 3; ++level) {
      std::vector<core::NodeSlice> next;
      std::vector<core::HistogramBundle> next_bundles;
      for (std::size_t i = 0; i < frontier.size(); ++i) {
        const auto split = backend.best_split_with_factor_context(bundles[i], options, {}, {}, nullptr);
        if (!split) continue;
        const core::PartitionResult parts = backend.apply_split_with_stats(binned, gradients, frontier[i], *split);
        EXPECT_TRUE(same_bin(parts.left_stats, split->left_stats));
        EXPECT_TRUE(same_bin(parts.right_stats, split->right_stats));
        if (parts.left_rows.empty() || parts.right_rows.empty()) {
          ADD_FAILURE() << "a proposed split left one side empty";
          continue;
        }
        auto left = core::NodeSlice::make(2 * frontier[i].node_id + 1, parts.left_rows);
        auto right = core::NodeSlice::make(2 * frontier[i].node_id + 2, parts.right_rows);
        const auto left_bundle = backend.build_histograms(binned, gradients, left, tiles);
        const auto right_bundle = backend.build_histograms(binned, gradients, right, tiles);
        for (std::size_t f = 0; f < left_bundle.histograms.size(); ++f) {
          EXPECT_TRUE(same_histogram(subtract_histograms(bundles[i].histograms[f], left_bundle.histograms[f]),
                                     right_bundle.histograms[f]));
        }
        next.push_back(std::move(left));
        next.push_back(std::move(right));
        next_bundles.push_back(left_bundle);
        next_bundles.push_back(right_bundle);
      }
      frontier = std::move(next);
      bundles = std::move(next_bundles);
    }
    EXPECT_GE(frontier.size(), 4u);
  }
}

}  // namespace
}  // namespace kestrune::backend_cpu

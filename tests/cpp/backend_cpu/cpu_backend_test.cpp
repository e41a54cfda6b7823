#include "backend_cpu/cpu_backend.hpp"

#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "backend_cpu/histogram_subtract.hpp"
#include "backend_cpu/partition.hpp"
#include "backend_test_support.hpp"
#include "engine/tree_build/node_split.hpp"

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

// Growth through the contract as the growers drive it, numeric and category splits alike, with
// coarse dyadic gradients (every sum exact in any order, up to the large first node): the split's
// child statistics equal the partition's row sums, every chunking partitions alike, and the
// smaller child built from its rows and the larger subtracted from the parent both equal the
// definition's sums. The first node is large enough for the partition's pool; builds reuse memory
// (a thread's gather block keeps stale rows of larger nodes); the shapes reach every histogram
// loop, with and without the column-major copy.
TEST(BackendContract, SplitsPartitionsBuildsAndSubtractionsAgree) {
  const CpuBackend backend;
  std::mt19937 rng(2024);
  for (const test::MatrixShape shape : {test::MatrixShape{60000, 24, 255, 255, false, true, 0.1},
                                        test::MatrixShape{2000, 9, 40, 255, false, false, 0.0},
                                        test::MatrixShape{3000, 13, 700, 700, true, true, 0.15}}) {
    SCOPED_TRACE(::testing::Message() << shape.rows << " x " << shape.features << ", max bin " << shape.max_bin);
    const core::BinnedMatrix binned = test::random_matrix(shape, rng);
    const auto gradients = test::quarter_gradients(shape.rows, rng);
    const std::vector<core::FeatureTile> tiles{{0, 5}, {5, static_cast<std::uint32_t>(shape.features)}};
    const std::size_t codes = shape.max_bin + 1u;  // every code a category
    const std::vector<engine::CategoricalFeature> categorical{{2, codes}, {7, codes}};
    engine::SplitSelectionOptions options;
    options.missing_bin = shape.missing_bin;
    std::vector<std::pair<core::NodeSlice, core::HistogramBundle>> frontier;
    const auto root = core::NodeSlice::make(0, test::random_rows(shape.rows, shape.rows - 7, true, rng));
    frontier.emplace_back(root, backend.build_histograms(binned, gradients, root, tiles));
    int numeric_splits = 0, category_splits = 0;
    for (int level = 0; level < 4; ++level) {
      std::vector<std::pair<core::NodeSlice, core::HistogramBundle>> next;
      for (auto& [node, bundle] : frontier) {
        const auto split = backend.best_split_with_factor_context(
            bundle, options, {}, level % 2 ? categorical : std::vector<engine::CategoricalFeature>{}, nullptr);
        if (!split) continue;
        const core::PartitionResult parts = backend.apply_split_with_stats(binned, gradients, node, *split);
        EXPECT_TRUE(test::same_bin(parts.left_stats, split->left_stats));
        EXPECT_TRUE(test::same_bin(parts.right_stats, split->right_stats));
        ASSERT_FALSE(parts.left_rows.empty() || parts.right_rows.empty()) << "a proposed split left one side empty";
        for (const std::size_t chunk : {0u, 7u, 4096u}) {
          const core::PartitionResult chunked = partition_rows(binned, gradients, node.row_indices, *split, chunk);
          EXPECT_TRUE(chunked.left_rows == parts.left_rows && chunked.right_rows == parts.right_rows &&
                      test::same_bin(chunked.left_stats, parts.left_stats) &&
                      test::same_bin(chunked.right_stats, parts.right_stats))
              << "chunk " << chunk;
        }
        ++(split->is_categorical ? category_splits : numeric_splits);
        const bool left_small = parts.left_rows.size() <= parts.right_rows.size();
        const auto& [small_rows, large_rows] =
            left_small ? std::tie(parts.left_rows, parts.right_rows) : std::tie(parts.right_rows, parts.left_rows);
        auto small = core::NodeSlice::make(2 * node.node_id + 2 - left_small, small_rows);
        auto large = core::NodeSlice::make(2 * node.node_id + 1 + left_small, large_rows);
        auto built = backend.build_histograms(binned, gradients, small, tiles);
        test::expect_same_histograms_in_order(built.histograms, test::naive_histograms(binned, gradients, small_rows, tiles));
        auto sibling = engine::tree_build::subtract_histogram_bundle(std::move(bundle), built, large.node_id);
        test::expect_same_histograms_in_order(sibling.histograms,
                                              test::naive_histograms(binned, gradients, large_rows, tiles));
        next.emplace_back(std::move(small), std::move(built));
        next.emplace_back(std::move(large), std::move(sibling));
      }
      frontier = std::move(next);
    }
    EXPECT_GE(numeric_splits, 3);
    EXPECT_GE(category_splits, 1);
  }
}

}  // namespace
}  // namespace kestrune::backend_cpu

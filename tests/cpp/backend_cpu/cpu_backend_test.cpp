#include "backend_cpu/cpu_backend.hpp"

#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "backend_cpu/partition.hpp"
#include "backend_test_support.hpp"
#include "engine/tree_build/node_split.hpp"

namespace kestrune::backend_cpu {
namespace {

// Growth through the contract as the growers drive it, with dyadic gradients (every sum exact in
// any order). For numeric and category splits the child statistics equal the partition's row sums
// (every row went where its split counted it), every chunking partitions alike, and the smaller
// child built from its rows and the larger subtracted from the parent both equal the definition's
// sums. The first node is large enough for the partition's pool; builds reuse memory (a thread's
// gather block keeps stale rows of larger nodes); the shapes reach every histogram loop.
TEST(BackendContract, SplitsPartitionsBuildsAndSubtractionsAgree) {
  const CpuBackend backend;
  std::mt19937 rng(2024);
  for (const test::MatrixShape shape : {test::MatrixShape{60000, 24, 255, 255, false, true, 0.1},
                                        test::MatrixShape{2000, 9, 40, 255, false, false, 0.0},
                                        test::MatrixShape{3000, 13, 700, 700, true, true, 0.15}}) {
    const core::BinnedMatrix binned = test::random_matrix(shape, rng);
    const auto gradients = test::random_gradients(shape.rows, rng, /*dyadic=*/true);
    const std::vector<core::FeatureTile> tiles{{0, 5}, {5, static_cast<std::uint32_t>(shape.features)}};
    const core::FeatureTile all{0, static_cast<std::uint32_t>(shape.features)};
    const std::size_t codes = shape.max_bin + 1u;  // every code a category
    const std::vector<engine::CategoricalFeature> categorical{{2, codes}, {7, codes}};
    engine::SplitSelectionOptions options;
    options.missing_bin = shape.missing_bin;
    std::vector<std::pair<core::NodeSlice, core::HistogramBundle>> frontier;
    const auto root = core::NodeSlice::make(0, test::random_rows(shape.rows, shape.rows - 7, true, rng));
    frontier.emplace_back(root, backend.build_histograms(binned, gradients, root, tiles));
    int splits = 0;
    for (int level = 0; level < 4; ++level) {
      std::vector<std::pair<core::NodeSlice, core::HistogramBundle>> next;
      for (auto& [node, bundle] : frontier) {
        const auto split = backend.best_split_with_factor_context(bundle, options, {}, level % 2 ? categorical
                                                                  : std::vector<engine::CategoricalFeature>{}, nullptr);
        if (!split) continue;
        const core::PartitionResult parts = backend.apply_split_with_stats(binned, gradients, node, *split);
        EXPECT_TRUE(test::same_bin(parts.left_stats, split->left_stats));
        EXPECT_TRUE(test::same_bin(parts.right_stats, split->right_stats));
        ASSERT_FALSE(parts.left_rows.empty() || parts.right_rows.empty()) << "a proposed split left one side empty";
        for (const std::size_t chunk : {0u, 7u, 4096u}) {
          const core::PartitionResult chunked = partition_rows(binned, gradients, node.row_indices, *split, chunk);
          EXPECT_TRUE(chunked.left_rows == parts.left_rows && chunked.right_rows == parts.right_rows &&
                      test::same_bin(chunked.left_stats, parts.left_stats)) << "chunk " << chunk;
        }
        splits += split->is_categorical ? 100 : 1;
        const bool left_small = parts.left_rows.size() <= parts.right_rows.size();
        const auto& [small_rows, large_rows] = left_small ? std::tie(parts.left_rows, parts.right_rows)
                                                          : std::tie(parts.right_rows, parts.left_rows);
        auto small = core::NodeSlice::make(2 * node.node_id + 2 - left_small, small_rows);
        auto large = core::NodeSlice::make(2 * node.node_id + 1 + left_small, large_rows);
        auto built = backend.build_histograms(binned, gradients, small, tiles);
        test::expect_same_histograms(built.histograms, test::naive_histograms(binned, gradients, small_rows, {all}));
        auto sibling = engine::tree_build::subtract_histogram_bundle(std::move(bundle), built, large.node_id);
        test::expect_same_histograms(sibling.histograms, test::naive_histograms(binned, gradients, large_rows, {all}));
        next.emplace_back(std::move(small), std::move(built));
        next.emplace_back(std::move(large), std::move(sibling));
      }
      frontier = std::move(next);
    }
    EXPECT_GE(splits % 100, 3) << "numeric splits";
    EXPECT_GE(splits / 100, 1) << "category splits";
  }
  // The pool's chunks: rows shared out over the threads, never below the floor.
  EXPECT_EQ(partition_chunk_size(50000, 8), 6250u);
  EXPECT_EQ(partition_chunk_size(10, 1), 4096u);
}

}  // namespace
}  // namespace kestrune::backend_cpu

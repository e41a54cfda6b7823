#include "engine/tree_build/node_split.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "../engine_test_support.hpp"

namespace kestrune::engine::tree_build {
namespace {

using testing_support::throws_engine_error;

core::HistogramBin stats(float grad, float hess, std::uint32_t count) { return {grad, hess, grad * grad, count}; }

core::PartitionResult partition_of(std::size_t left_rows, std::size_t right_rows, core::HistogramBin left,
                                   core::HistogramBin right) {
  core::PartitionResult partition;
  for (std::uint32_t i = 0; i < left_rows + right_rows; ++i) {
    (i < left_rows ? partition.left_rows : partition.right_rows).push_back(i);
  }
  partition.left_stats = left;
  partition.right_stats = right;
  return partition;
}

IterationControls controls(std::size_t min_rows = 1, float min_abs = 0.0f, float max_abs = 1e6f) {
  return IterationControls::make(1, min_rows, 0, 0.0f, min_abs, max_abs, 0.0f);
}

TEST(GrowNodeSplit, LeafValueAndClamp) {
  const SplitSelectionOptions options;
  const float value = child_leaf_value(stats(-4.0f, 3.0f, 5), options, 0.1f);
  EXPECT_EQ(value, (-4.0f * -0.1f) / ((0.0f + 3.0f) + 1e-6f));
  EXPECT_NEAR(value, 0.13333f, 1e-5f);
  SplitSelectionOptions regularised;
  regularised.split_l1 = 1.0f;
  regularised.split_l2 = 1.0f;
  EXPECT_EQ(child_leaf_value(stats(-4.0f, 3.0f, 5), regularised, 0.1f), (-3.0f * -0.1f) / ((1.0f + 3.0f) + 1e-6f));

  EXPECT_EQ(clamp_leaf_value(5.0f, 2.0f), 2.0f);
  EXPECT_EQ(clamp_leaf_value(-5.0f, 2.0f), -2.0f);
  EXPECT_EQ(clamp_leaf_value(1.5f, 2.0f), 1.5f);
  EXPECT_TRUE(std::isnan(clamp_leaf_value(std::numeric_limits<float>::quiet_NaN(), 2.0f)));
}

// L1 shrinks the gradient toward 0 from either side and zeroes it inside the band; the clamp keeps
// NaN rather than hiding it.
TEST(GrowNodeSplit, LeafValuesShrinkByL1AndL2AndClampLetsNaNThrough) {
  SplitSelectionOptions options;
  options.split_l1 = 1.0f;
  options.split_l2 = 1.0f;
  for (const float g : {-4.0f, 4.0f, 0.5f}) {
    const float shrunk = std::copysign(std::max(std::fabs(g) - 1.0f, 0.0f), g);
    EXPECT_EQ(child_leaf_value(stats(g, 3.0f, 5), options, 0.1f), (shrunk * -0.1f) / ((1.0f + 3.0f) + 1e-6f)) << g;
  }
  EXPECT_TRUE(std::isnan(clamp_leaf_value(std::numeric_limits<float>::quiet_NaN(), 2.0f)));
}

TEST(GrowNodeSplit, AssessmentChecksInOrder) {
  const SplitSelectionOptions options;
  const std::vector<std::int8_t> none;
  auto assess = [&](const core::PartitionResult& p, std::size_t node_rows, const IterationControls& c,
                    std::span<const std::int8_t> monotone = {}, float node_value = 0.0f) {
    return assess_applied_split(p, node_rows, node_value, 0, 1.0f, 1.0f, options, c, monotone);
  };
  const core::PartitionResult good = partition_of(3, 5, stats(-3.0f, 3.0f, 3), stats(5.0f, 5.0f, 5));
  EXPECT_TRUE(throws_engine_error([&] { assess(good, 9, controls()); }, EngineErrorKind::ContractViolation,
                                  "split partition does not cover all node rows"));
  EXPECT_EQ(assess(good, 8, controls(4)).refusal, IterationStopReason::LeafRowsBelowThreshold);
  EXPECT_FALSE(assess(good, 8, controls(3)).refusal.has_value());
  // Rows are checked before hessians.
  const core::PartitionResult empty_side = partition_of(0, 8, stats(0.0f, 0.0f, 0), stats(1.0f, 8.0f, 8));
  EXPECT_EQ(assess(empty_side, 8, controls()).refusal, IterationStopReason::LeafRowsBelowThreshold);
  const core::PartitionResult flat = partition_of(3, 5, stats(-3.0f, 0.0f, 3), stats(5.0f, 5.0f, 5));
  EXPECT_TRUE(throws_engine_error([&] { assess(flat, 8, controls()); }, EngineErrorKind::ContractViolation,
                                  "backend produced non-positive hessian sums"));

  const SplitAssessment values = assess(good, 8, controls());
  const float left = child_leaf_value(good.left_stats, options, 1.0f);
  const float right = child_leaf_value(good.right_stats, options, 1.0f);
  EXPECT_EQ(values.values.left, left);
  EXPECT_EQ(values.values.right, right);
  EXPECT_EQ(assess(good, 8, controls(1, 0.0f, 0.5f)).values.left, 0.5f);  // clamped exactly

  // Magnitude: strict on both sides, relative to the node's value.
  EXPECT_FALSE(assess(good, 8, controls(1, std::fabs(right))).refusal.has_value());
  EXPECT_EQ(assess(good, 8, controls(1, std::fabs(left) * 1.01f)).refusal,
            IterationStopReason::LeafMagnitudeBelowThreshold);
  EXPECT_FALSE(assess(good, 8, controls(1, 0.5f), {}, 2.0f).refusal.has_value());

  // Monotone: left ~ +1 and right ~ -1 here, so +1 refuses and -1 passes; ties pass both ways.
  const std::vector<std::int8_t> increasing{1};
  const std::vector<std::int8_t> decreasing{-1};
  EXPECT_EQ(assess(good, 8, controls(), increasing).refusal, IterationStopReason::MonotoneConstraintViolation);
  EXPECT_FALSE(assess(good, 8, controls(), decreasing).refusal.has_value());
  const core::PartitionResult tie = partition_of(4, 4, stats(1.0f, 2.0f, 4), stats(1.0f, 2.0f, 4));
  EXPECT_FALSE(assess(tie, 8, controls(), increasing).refusal.has_value());
  EXPECT_FALSE(assess(tie, 8, controls(), decreasing).refusal.has_value());
  // A feature past the list is unconstrained.
  EXPECT_FALSE(assess_applied_split(good, 8, 0.0f, 3, 1.0f, 1.0f, options, controls(), increasing).refusal.has_value());
}

TEST(GrowNodeSplit, SiblingBySubtraction) {
  core::HistogramBundle parent;
  parent.node_id = 1;
  parent.histograms = {{{{5.0f, 6.0f, 7.0f, 8}, {1.0f, 1.0f, 1.0f, 3}}, 4}, {{{2.0f, 2.0f, 2.0f, 2}, {0.0f, 0.0f, 0.0f, 0}}, 9}};
  core::HistogramBundle child;
  child.histograms = {{{{1.0f, 2.0f, 3.0f, 4}, {1.0f, 1.0f, 1.0f, 3}}, 4}, {{{0.5f, 0.5f, 0.5f, 1}}, 9}};
  const core::HistogramBundle sibling = subtract_histogram_bundle(parent, child, 42);
  EXPECT_EQ(sibling.node_id, 42u);
  ASSERT_EQ(sibling.histograms.size(), 2u);
  EXPECT_EQ(sibling.histograms[0].feature_index, 4u);
  EXPECT_EQ(sibling.histograms[1].feature_index, 9u);
  EXPECT_EQ(sibling.histograms[0].bins[0].grad_sum, 4.0f);
  EXPECT_EQ(sibling.histograms[0].bins[0].count, 4u);
  EXPECT_EQ(sibling.histograms[0].bins[1].count, 0u);
  // The child's histogram has one bin: the second bin stays zero, it is not copied from the parent.
  EXPECT_EQ(sibling.histograms[1].bins[0].grad_sum, 1.5f);
  EXPECT_EQ(sibling.histograms[1].bins[1].count, 0u);

  child.histograms.push_back(child.histograms.back());
  parent.histograms.push_back(parent.histograms.back());
  child.histograms.push_back(child.histograms.back());
  EXPECT_TRUE(throws_engine_error([&] { subtract_histogram_bundle(parent, child, 0); },
                                  EngineErrorKind::ContractViolation,
                                  "parent histogram feature count 3 does not match child histogram feature count 4"));
}

TEST(GrowNodeSplit, LinearChildrenAndTheirIncrements) {
  const LinearLeafPair pair{core::LinearLeaf{{1.0f, 2.0f, 3.0f}, {0, 1, 2}, 4.0f},
                            core::LinearLeaf{{-1.0f}, {0}, -8.0f}};
  const core::LinearLeaf parent{{0.5f, 0.25f}, {0, 1}, 0.75f};
  const LinearChildren children = adjust_linear_pair(pair, 0.5f, 3.0f, 0.75f, &parent);
  EXPECT_EQ(children.left, (core::LinearLeaf{{0.5f, 1.0f, 1.5f}, {0, 1, 2}, 2.0f}));
  EXPECT_EQ(children.right, (core::LinearLeaf{{-0.5f}, {0}, -3.0f}));  // -4 clamped to -3
  // Coefficients matched by position with the parent's; the intercept less the node's value.
  EXPECT_EQ(children.left_increment, (core::LinearLeaf{{0.0f, 0.75f, 1.5f}, {0, 1, 2}, 1.25f}));
  EXPECT_EQ(children.right_increment, (core::LinearLeaf{{-1.0f}, {0}, -3.75f}));
  const LinearChildren rootless = adjust_linear_pair(pair, 1.0f, 10.0f, 0.0f, nullptr);
  EXPECT_EQ(rootless.left_increment, pair.first);

  EXPECT_EQ(linear_leaf_terms(3), (std::vector<std::uint32_t>{0, 1, 2}));
  EXPECT_EQ(linear_leaf_terms(20), (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));

  std::vector<float> predictions{0.0f, 0.0f};
  const std::vector<float> raw{2.0f, std::numeric_limits<float>::quiet_NaN(), 1.0f, 1.0f};
  const std::vector<std::uint32_t> rows{1, 0, 5};  // row 5 lies past the predictions: skipped
  apply_linear_leaf_updates(predictions, rows, core::LinearLeaf{{1.0f, 10.0f}, {0, 1}, 0.5f}, raw, 2);
  EXPECT_EQ(predictions, (std::vector<float>{2.5f, 11.5f}));
}

}  // namespace
}  // namespace kestrune::engine::tree_build

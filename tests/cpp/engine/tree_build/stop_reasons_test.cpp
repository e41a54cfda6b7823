// The reason each grower gives for a tree it could not grow, one rule per row: an empty tree
// names the last refusal and leaves the predictions alone, and the same data just inside each
// limit grows the split.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <variant>
#include <vector>

#include "grow_test_support.hpp"

namespace kestrune::engine::tree_build {
namespace {

using testing_support::grow;
using testing_support::Growth;
using testing_support::GrowScenario;
using testing_support::scenario_from;

// One feature: `low` rows in bin 0 with gradient -1, `high` rows in bin 1 with gradient +1
// (hessians 1). The only split separates them; its left value is positive, its right negative.
GrowScenario two_groups(std::size_t low, std::size_t high) {
  std::vector<std::uint8_t> bins;
  std::vector<core::GradientPair> gradients;
  for (std::size_t i = 0; i < low + high; ++i) {
    bins.push_back(i < low ? 0 : 1);
    gradients.push_back({i < low ? -1.0f : 1.0f, 1.0f});
  }
  return scenario_from(core::BinnedMatrix::make(low + high, 1, 255, std::move(bins)), std::move(gradients));
}

// What the unconstrained root split of `s` looks like, read from a grown tree.
TrainedStump root_split(const GrowScenario& s) {
  std::vector<float> predictions(s.rows.size(), 0.0f);
  const GrownTree tree = grow(s, Growth::Leaf, predictions);
  EXPECT_EQ(tree.stumps.size(), 1u);
  return tree.stumps.at(0);
}

TEST(GrowStopReasons, EachRuleRefusesTheRootAndLetsItsBoundaryThrough) {
  const GrowScenario base = two_groups(3, 5);
  const TrainedStump split = root_split(base);
  const float left = std::get<float>(split.left);
  const float right = std::get<float>(split.right);
  ASSERT_GT(left, 0.0f);
  ASSERT_LT(right, 0.0f);
  const float larger = std::fmax(std::fabs(left), std::fabs(right));
  constexpr auto kGrown = IterationStopReason::CompletedRequestedRounds;

  struct Case {
    const char* rule;
    std::function<void(GrowScenario&)> change;
    IterationStopReason leaf_wise;
    IterationStopReason level_wise;
  };
  const std::vector<Case> cases{
      {"gain equal to min_split_gain", [&](GrowScenario& s) { s.controls.min_split_gain = split.gain; },
       IterationStopReason::GainBelowThreshold, IterationStopReason::GainBelowThreshold},
      {"gain just above min_split_gain",
       [&](GrowScenario& s) { s.controls.min_split_gain = std::nextafter(split.gain, 0.0f); }, kGrown, kGrown},
      {"a child below min_rows_per_leaf", [](GrowScenario& s) { s.controls.min_rows_per_leaf = 4; },
       IterationStopReason::LeafRowsBelowThreshold, IterationStopReason::LeafRowsBelowThreshold},
      {"both children at min_rows_per_leaf", [](GrowScenario& s) { s.controls.min_rows_per_leaf = 3; }, kGrown,
       kGrown},
      {"both values below min_abs_leaf_value",
       [&](GrowScenario& s) { s.controls.min_abs_leaf_value = std::nextafter(larger, 1.0f); },
       IterationStopReason::LeafMagnitudeBelowThreshold, IterationStopReason::LeafMagnitudeBelowThreshold},
      {"one value at min_abs_leaf_value (the test is strict)",
       [&](GrowScenario& s) { s.controls.min_abs_leaf_value = larger; }, kGrown, kGrown},
      {"increasing constraint, falling values", [](GrowScenario& s) { s.params.monotone_constraints = {1}; },
       IterationStopReason::MonotoneConstraintViolation, IterationStopReason::MonotoneConstraintViolation},
      {"decreasing constraint, falling values", [](GrowScenario& s) { s.params.monotone_constraints = {-1}; }, kGrown,
       kGrown},
      {"a constraint list that ends before the feature", [](GrowScenario& s) { s.params.monotone_constraints = {}; },
       kGrown, kGrown},
      {"max_leaves below two", [](GrowScenario& s) { s.controls.max_leaves = 1; },
       IterationStopReason::MaxLeavesReached, IterationStopReason::MaxLeavesReached},
      {"max_leaves two", [](GrowScenario& s) { s.controls.max_leaves = 2; }, kGrown, kGrown},
      // The best-first grower pops the root past the depth budget; the level grower has no
      // level to grow and names no refusal.
      {"max_depth 0", [](GrowScenario& s) { s.params.max_depth = 0; }, IterationStopReason::DepthBudgetReached,
       IterationStopReason::NoSplitCandidate},
      {"max_depth 1", [](GrowScenario& s) { s.params.max_depth = 1; }, kGrown, kGrown},
  };
  for (const Case& c : cases) {
    for (const Growth growth : {Growth::Leaf, Growth::Level}) {
      SCOPED_TRACE(::testing::Message() << c.rule << (growth == Growth::Leaf ? ", leaf-wise" : ", level-wise"));
      GrowScenario s = base;
      c.change(s);
      std::vector<float> predictions(s.rows.size(), 0.5f);
      const GrownTree tree = grow(s, growth, predictions);
      const IterationStopReason expected = growth == Growth::Leaf ? c.leaf_wise : c.level_wise;
      EXPECT_EQ(tree.stop_reason, expected);
      if (expected == kGrown) {
        ASSERT_EQ(tree.stumps.size(), 1u);
        EXPECT_EQ(tree.stumps[0].gain, split.gain);
      } else {
        EXPECT_TRUE(tree.stumps.empty());
        EXPECT_EQ(predictions, std::vector<float>(s.rows.size(), 0.5f));
      }
    }
  }
}

// A refusal below the root is not the tree's reason: a grown tree always reports that it grew.
TEST(GrowStopReasons, RefusalsBelowTheRootLeaveTheTreeGrown) {
  // Bins 0, 1, 2 with gradients -1, +1, +3: the root separates bin 0; the right child could
  // split bins 1 and 2 but its children hold one row each.
  GrowScenario s = scenario_from(core::BinnedMatrix::make(6, 1, 255, {0, 0, 0, 1, 2, 2}),
                                 {{-1.0f, 1.0f}, {-1.0f, 1.0f}, {-1.0f, 1.0f}, {1.0f, 1.0f}, {3.0f, 1.0f}, {3.0f, 1.0f}});
  s.params.max_depth = 3;
  for (const Growth growth : {Growth::Leaf, Growth::Level}) {
    for (const std::size_t min_rows : {1u, 2u}) {
      s.controls.min_rows_per_leaf = min_rows;
      std::vector<float> predictions(6, 0.0f);
      const GrownTree tree = grow(s, growth, predictions);
      EXPECT_EQ(tree.stumps.size(), min_rows == 1 ? 2u : 1u);
      EXPECT_EQ(tree.stop_reason, IterationStopReason::CompletedRequestedRounds);
    }
  }
}

}  // namespace
}  // namespace kestrune::engine::tree_build

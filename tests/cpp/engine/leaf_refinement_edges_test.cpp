// Leaf refinement at its edges: quantile leaves take an order statistic without interpolation,
// and trees or matrices no walk can follow are reported before any stump changes.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "engine/leaf_refinement.hpp"
#include "engine/round.hpp"
#include "engine_test_support.hpp"
#include "support/panic.hpp"

namespace kestrune::engine {
namespace {

using testing_support::throws_contract_violation;

TrainedStump stump(std::uint32_t node_id, std::uint32_t feature, std::uint16_t bin, float left, float right) {
  TrainedStump s;
  s.node_id = node_id;
  s.feature_index = feature;
  s.split_bin = bin;
  s.left = left;
  s.right = right;
  return s;
}

// Rows 0..3 (targets 1, 2, 3, 10) go left, row 4 (target 7) goes right. A quantile leaf is the
// order statistic alpha names, never a blend of two residuals: 2 at the median, 10 at 0.9. The
// single-output pass (weighted or not) and the joint pass agree.
TEST(RefineQuantileExample, ResidualsOneTwoThreeTen) {
  const core::BinnedMatrix binned = core::BinnedMatrix::make(5, 1, 9, {0, 1, 0, 1, 5});
  const std::vector<float> targets{1.0f, 2.0f, 3.0f, 10.0f, 7.0f};
  const std::vector<float> before(5, 0.0f);
  const std::vector<float> weights(5, 2.0f);
  struct Case {
    float alpha;
    float left;
  };
  for (const Case c : {Case{0.5f, 2.0f}, Case{0.9f, 10.0f}}) {
    SCOPED_TRACE(c.alpha);
    for (const bool weighted : {false, true}) {
      std::vector<TrainedStump> tree{stump(0, 0, 1, 0.1f, 0.2f)};
      const objectives::Weights w = weighted ? objectives::Weights(weights) : std::nullopt;
      refine_quantile_leaf_values(tree, binned, before, targets, w, std::nullopt,
                                  QuantileRefinementSettings{c.alpha, 1.0f, 1e6f, std::nullopt});
      EXPECT_EQ(std::get<float>(tree[0].left), c.left);
      EXPECT_EQ(std::get<float>(tree[0].right), 7.0f);
    }
    std::vector<TrainedStump> joint{stump(0, 0, 1, 0.1f, 0.2f)};
    joint[0].multi_output = MultiOutputValues{{0.1f, 0.3f}, {0.2f, 0.4f}};
    const std::vector<std::vector<float>> predictions(2, before);
    const std::vector<std::span<const float>> joint_targets{targets, targets};
    const std::vector<joint::JointObjective> objectives{joint::JointObjective{}, joint::JointObjective::quantile(c.alpha)};
    refine_joint_quantile_leaves(joint, binned, predictions, joint_targets, objectives);
    EXPECT_EQ(joint[0].multi_output->left, (std::vector<float>{0.1f, c.left}));
    EXPECT_EQ(joint[0].multi_output->right, (std::vector<float>{0.2f, 7.0f}));
  }
}

// Each pass reports what it cannot walk, and leaves the stumps as they were.
TEST(RefineMalformedInput, ReportedByEveryPassBeforeAnyChange) {
  // Row 1 starts at cell feature_count = 2^64 - 1: adding its feature index overflows.
  core::BinnedMatrix overflowing = core::BinnedMatrix::make(2, 1, 9, {5, 5});
  overflowing.feature_count = std::numeric_limits<std::size_t>::max();
  const core::BinnedMatrix plain = core::BinnedMatrix::make(2, 1, 9, {0, 5});
  const std::vector<float> values(2, 1.0f);
  const std::vector<std::vector<float>> predictions(1, values);
  const std::vector<std::span<const float>> targets{values};
  const std::vector<joint::JointObjective> quantile{joint::JointObjective::quantile(0.5f)};

  struct Case {
    const char* message;
    const core::BinnedMatrix* binned;
    std::vector<TrainedStump> tree;
    bool joint_only;  // ids past 20 bits exist only in the joint pass, which does not mask them
  };
  const std::vector<Case> cases{
      {"binned cell index overflow", &overflowing, {stump(0, 1, 3, 0.1f, 0.2f)}, false},
      {"left child id overflow for local node 2147483648",
       &plain,
       {stump(0, 0, 3, 0.1f, 0.2f), stump(0x80000000u, 0, 3, 0.1f, 0.2f)},
       true},
      {"right child id overflow for local node 2147483647",
       &plain,
       {stump(0, 0, 3, 0.1f, 0.2f), stump(0x7FFFFFFFu, 0, 3, 0.1f, 0.2f)},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::vector<TrainedStump> tree = c.tree;
    for (TrainedStump& s : tree) s.multi_output = MultiOutputValues{{0.1f}, {0.2f}};
    const std::vector<TrainedStump> original = tree;
    EXPECT_TRUE(throws_contract_violation(
        [&] { refine_joint_quantile_leaves(tree, *c.binned, predictions, targets, quantile); }, c.message));
    if (!c.joint_only) {
      EXPECT_TRUE(throws_contract_violation(
          [&] {
            refine_quantile_leaf_values(tree, *c.binned, values, values, std::nullopt, std::nullopt,
                                        QuantileRefinementSettings{});
          },
          c.message));
      EXPECT_TRUE(throws_contract_violation(
          [&] {
            refine_regression_leaf_values(values, std::nullopt, *c.binned, tree, std::vector<std::size_t>{tree.size()},
                                          0.0f, 1e6f);
          },
          c.message));
    }
    for (std::size_t i = 0; i < tree.size(); ++i) {
      EXPECT_EQ(tree[i].left, original[i].left);
      EXPECT_EQ(tree[i].multi_output, original[i].multi_output);
    }
  }
  // The prediction walks trust their callers' matrices: the same overflow there is a bug, not
  // a read of another row's cell.
  std::vector<float> sums(2, 0.0f);
  EXPECT_THROW(apply_tree_to_binned_predictions(sums, overflowing, cases[0].tree, std::nullopt), support::Panic);
}

}  // namespace
}  // namespace kestrune::engine

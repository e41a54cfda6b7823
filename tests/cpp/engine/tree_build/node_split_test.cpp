#include "engine/tree_build/node_split.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace kestrune::engine::tree_build {
namespace {

TEST(GrowNodeSplit, LeafValuesShrinkByL1AndL2AndClampLetsNaNThrough) {
  SplitSelectionOptions options;
  options.split_l1 = 1.0f;
  options.split_l2 = 1.0f;
  for (const float g : {-4.0f, 4.0f, 0.5f}) {
    const float shrunk = std::copysign(std::max(std::fabs(g) - 1.0f, 0.0f), g);
    EXPECT_EQ(child_leaf_value({g, 3.0f, g * g, 5}, options, 0.1f), (shrunk * -0.1f) / ((1.0f + 3.0f) + 1e-6f)) << g;
  }
  EXPECT_TRUE(std::isnan(clamp_leaf_value(std::numeric_limits<float>::quiet_NaN(), 2.0f)));
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

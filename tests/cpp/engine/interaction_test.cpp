#include "engine/interaction.hpp"

#include <gtest/gtest.h>

#include "engine_test_support.hpp"

namespace kestrune::engine {
namespace {

using testing_support::throws_engine_error;

std::vector<std::uint32_t> kept_features(const InteractionConstraintIndex& index, std::uint64_t mask) {
  core::HistogramBundle bundle;
  bundle.node_id = 7;
  for (std::uint32_t f = 0; f < 6; ++f) bundle.histograms.push_back({std::vector<core::HistogramBin>(2), f});
  const core::HistogramBundle filtered = index.filter(bundle, mask);
  EXPECT_EQ(filtered.node_id, 7u);
  std::vector<std::uint32_t> features;
  for (const auto& histogram : filtered.histograms) features.push_back(histogram.feature_index);
  return features;
}

TEST(InteractionConstraints, MasksAndFilteringAlongAPath) {
  // Features 4 and 5 lie outside the index (feature_count 4) and are always kept.
  const auto index = InteractionConstraintIndex::from_constraints({{0, 1}, {1, 2}}, 4);
  ASSERT_TRUE(index.has_value());
  EXPECT_EQ(index->group_masks, (std::vector<std::uint64_t>{1, 3, 2, 0}));
  const std::uint64_t root = index->root_mask();
  EXPECT_EQ(root, 3u);
  EXPECT_EQ(kept_features(*index, root), (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5}));

  const std::uint64_t after_f0 = index->child_mask(root, 0);
  EXPECT_EQ(after_f0, 1u);
  EXPECT_EQ(kept_features(*index, after_f0), (std::vector<std::uint32_t>{0, 1, 3, 4, 5}));
  EXPECT_EQ(index->child_mask(root, 3), 3u);  // ungrouped feature leaves the mask unchanged
  EXPECT_EQ(index->child_mask(after_f0, 2), 0u);
  EXPECT_EQ(index->child_mask(root, 99), root);
}

TEST(InteractionConstraints, NoGroupsGivesNoIndexAndSixtyFourGroupsFillTheMask) {
  EXPECT_FALSE(InteractionConstraintIndex::from_constraints({}, 4).has_value());
  const auto index = InteractionConstraintIndex::from_constraints(std::vector<std::vector<std::uint32_t>>(64, {0}), 1);
  ASSERT_TRUE(index.has_value());
  EXPECT_EQ(index->root_mask(), ~std::uint64_t{0});
}

TEST(InteractionConstraints, RejectsTooManyGroupsBeforeLookingAtFeatures) {
  const auto check = [](const std::vector<std::vector<std::uint32_t>>& groups, const char* message) {
    return throws_engine_error([&] { InteractionConstraintIndex::from_constraints(groups, 4); },
                               EngineErrorKind::InvalidConfig, message);
  };
  EXPECT_TRUE(check(std::vector<std::vector<std::uint32_t>>(65, {9}),
                    "interaction_constraints supports at most 64 groups (got 65)"));
  EXPECT_TRUE(check({{0}, {1, 2, 7}, {9}},
                    "interaction_constraints group 1 references feature 7 which exceeds feature_count 4"));
  // Emptiness and repeats are the parameter check's business.
  EXPECT_NO_THROW(InteractionConstraintIndex::from_constraints({{}, {1, 1}}, 4));
}

}  // namespace
}  // namespace kestrune::engine

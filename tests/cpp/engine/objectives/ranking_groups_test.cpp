#include "engine/objectives/ranking_groups.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engine/objectives/ndcg.hpp"
#include "objective_test_util.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::expect_contract_violation;
using Offsets = std::vector<std::size_t>;

TEST(ObjectiveRankingGroups, BoundariesFollowRunsOfEqualIdentifiers) {
  EXPECT_EQ(compute_group_boundaries(std::vector<std::uint32_t>{7, 7, 3, 3, 7}), (Offsets{0, 2, 4, 5}));
  EXPECT_EQ(compute_group_boundaries(std::vector<std::uint32_t>{}), (Offsets{0, 0}));
}

TEST(ObjectiveRankingGroups, ResolvePrefersTrainThenValidationThenOneGroup) {
  const Offsets train{0, 3, 5};
  const std::optional<Offsets> validation = Offsets{0, 4};
  EXPECT_EQ(resolve_boundaries_for_len(train, validation, 5), train);
  EXPECT_EQ(resolve_boundaries_for_len(train, validation, 4), (Offsets{0, 4}));
  EXPECT_EQ(resolve_boundaries_for_len(train, validation, 6), (Offsets{0, 6}));
  EXPECT_EQ(resolve_boundaries_for_len(train, Offsets{}, 0), (Offsets{0, 0}));
}

TEST(ObjectiveRankingGroups, BoundariesMustCoverTheRowsExactly) {
  EXPECT_NO_THROW(check_group_boundaries(Offsets{0, 2, 2, 5}, 5));
  EXPECT_NO_THROW(check_group_boundaries(Offsets{0}, 0));
  expect_contract_violation([] { check_group_boundaries(Offsets{}, 0); }, "group boundaries must start at 0");
  expect_contract_violation([] { check_group_boundaries(Offsets{0, 4, 3, 5}, 5); },
                            "group boundaries must not decrease (4 followed by 3)");
  expect_contract_violation([] { check_group_boundaries(Offsets{0, 3}, 5); },
                            "group boundaries end at 3 but there are 5 rows");
}

TEST(ObjectiveRankingGroups, ValidationBoundariesAreSetAndReplaced) {
  // Any grouped objective carries the layout; the shared behaviour is tested once through NDCG-free
  // accessors.
  struct Probe : GroupedObjective<Probe> {
    explicit Probe(std::span<const std::uint32_t> ids) : GroupedObjective(ids) {}
  };
  const std::vector<std::uint32_t> train{1, 1, 2}, first{5, 6}, second{4, 4, 4, 4};
  const Probe base(train);
  const Probe with = base.with_validation_group(first);
  const Probe replaced = Probe(with).with_validation_group(second);
  EXPECT_EQ(replaced.validation_boundaries(), (Offsets{0, 4}));
  EXPECT_EQ(replaced.train_boundaries(), (Offsets{0, 2, 3}));
  EXPECT_FALSE(base.validation_boundaries().has_value());  // the copying form leaves its source alone
}

TEST(ObjectiveRankingNdcg, IdealDcgSumsGainsInTheBestOrder) {
  EXPECT_NEAR(ideal_dcg(std::vector<float>{0.0f, 1.0f, 2.0f}, 3), 3.0 + 1.0 / std::log2(3.0), 1e-6);
  const float none = ideal_dcg({}, 0);
  EXPECT_EQ(none, 0.0f);
  EXPECT_TRUE(std::signbit(none));
  EXPECT_EQ(ideal_dcg(std::vector<float>{0.0f, 0.0f}, 2), 0.0f);
}

TEST(ObjectiveRankingNdcg, NdcgOfHandMadeGroups) {
  const float inv_log3 = static_cast<float>(1.0 / std::log2(3.0));
  EXPECT_EQ(ndcg_for_group(std::vector<float>{0.0f, 0.0f}, std::vector<float>{1.0f, 0.0f}), 1.0f);
  EXPECT_FLOAT_EQ(ndcg_for_group(std::vector<float>{0.0f, 1.0f}, std::vector<float>{1.0f, 0.0f}), inv_log3);
  // Equal scores keep the lower position first.
  EXPECT_FLOAT_EQ(ndcg_for_group(std::vector<float>{0.0f, 1.0f}, std::vector<float>{0.5f, 0.5f}), inv_log3);
  EXPECT_EQ(ndcg_for_group(std::vector<float>{3.0f, 1.0f, 0.0f}, std::vector<float>{9.0f, 2.0f, -4.0f}), 1.0f);
  // NaN scores give some order, never a crash or a read outside the group.
  const float with_nan =
      ndcg_for_group(std::vector<float>{2.0f, 0.0f, 1.0f, 3.0f}, std::vector<float>{NAN, 1.0f, NAN, 0.0f});
  EXPECT_GT(with_nan, 0.0f);
  EXPECT_LE(with_nan, 1.0f);
  expect_contract_violation([] { ndcg_for_group(std::vector<float>{1.0f}, std::vector<float>{1.0f, 2.0f}); },
                            "predictions length 2 does not match targets length 1");
}

TEST(ObjectiveRankingNdcg, PairWeightIsStableAtExtremes) {
  EXPECT_EQ(pair_weight(0.0f), 0.5f);
  EXPECT_EQ(pair_weight(-1e30f), 1.0f);
  EXPECT_EQ(pair_weight(1e30f), 0.0f);
  EXPECT_NEAR(pair_weight(-2.0f), 1.0 / (1.0 + std::exp(-2.0)), 1e-7);
}

}  // namespace
}  // namespace kestrune::engine::objectives

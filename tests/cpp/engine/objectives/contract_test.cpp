#include "engine/objectives/contract.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "engine/objectives/binary.hpp"
#include "engine/objectives/glm.hpp"
#include "engine/objectives/lambdamart.hpp"
#include "engine/objectives/names.hpp"
#include "engine/objectives/pairwise.hpp"
#include "engine/objectives/quantile.hpp"
#include "engine/objectives/query_rmse.hpp"
#include "engine/objectives/squared.hpp"
#include "engine/objectives/xendcg.hpp"
#include "engine/objectives/yetirank.hpp"
#include "objective_test_util.hpp"

namespace kestrune::engine::objectives {
namespace {

using testing::expect_contract_violation;

// Seven rows in three query groups; targets are positive (Gamma) and graded (ranking).
const std::vector<std::uint32_t> kGroupIds{1, 1, 1, 2, 2, 3, 3};
const std::vector<float> kPredictions{0.25f, -1.5f, 0.75f, 2.0f, 0.0f, -0.5f, 1.25f};
const std::vector<float> kTargets{2.0f, 1.0f, 3.0f, 1.0f, 2.0f, 4.0f, 1.0f};
const std::vector<float> kWeights{1.0f, 0.5f, 2.0f, 1.5f, 0.25f, 3.0f, 1.0f};

template <typename T>
T make_objective() {
  if constexpr (std::is_same_v<T, TweedieObjective>) {
    return TweedieObjective::make(1.5f);
  } else if constexpr (std::is_same_v<T, QuantileObjective>) {
    return QuantileObjective{0.3f};
  } else if constexpr (std::is_same_v<T, YetiRankObjective>) {
    return YetiRankObjective(kGroupIds, 3, 42);
  } else if constexpr (RankingObjectiveOps<T>) {
    return T(kGroupIds);
  } else {
    return T{};
  }
}

// The pairwise ranking objectives ignore sample weights.
template <typename T>
constexpr bool kUsesWeights = !RankingObjectiveOps<T> || std::is_same_v<T, QueryRMSEObjective>;

template <typename T>
class ObjectiveContract : public ::testing::Test {};
using AllObjectives =
    ::testing::Types<SquaredErrorObjective, BinaryCrossEntropyObjective, PoissonObjective, GammaObjective,
                     TweedieObjective, QuantileObjective, QueryRMSEObjective, PairwiseRankingObjective,
                     LambdaMARTObjective, XeNDCGObjective, YetiRankObjective>;
TYPED_TEST_SUITE(ObjectiveContract, AllObjectives);

bool same_bits(const std::vector<GradientPair>& a, const std::vector<GradientPair>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(GradientPair)) == 0);
}

TYPED_TEST(ObjectiveContract, PerRoundPathMatchesCheckedPathAndReusesTheBuffer) {
  const TypeParam objective = make_objective<TypeParam>();
  for (const Weights weights : {Weights{}, Weights{kWeights}}) {
    const std::vector<GradientPair> checked = objective.compute_gradients(kPredictions, kTargets, weights);
    ASSERT_EQ(checked.size(), kPredictions.size());
    for (const GradientPair& pair : checked) {
      EXPECT_TRUE(std::isfinite(pair.grad));
      EXPECT_GT(pair.hess, 0.0f);
    }
    std::vector<GradientPair> out(40, GradientPair{9.0f, 9.0f});
    const GradientPair* storage = out.data();
    objective.compute_gradients_into(kPredictions, kTargets, weights, out);
    EXPECT_TRUE(same_bits(out, checked));
    EXPECT_EQ(out.data(), storage);  // shrinking keeps the caller's storage
    objective.compute_gradients_into(kPredictions, kTargets, weights, out);
    EXPECT_TRUE(same_bits(out, checked));  // a second round overwrites every entry
  }
}

TYPED_TEST(ObjectiveContract, LengthMismatchesFailWithoutTouchingTheBuffer) {
  const TypeParam objective = make_objective<TypeParam>();
  const std::span<const float> short_targets = std::span<const float>(kTargets).first(6);
  const std::vector<GradientPair> before{{1.0f, 2.0f}, {3.0f, 4.0f}};
  std::vector<GradientPair> out = before;
  const std::string message = "predictions length 7 does not match targets length 6";
  expect_contract_violation([&] { objective.compute_gradients(kPredictions, short_targets, std::nullopt); }, message);
  expect_contract_violation(
      [&] { objective.compute_gradients_into(kPredictions, short_targets, std::nullopt, out); }, message);
  expect_contract_violation([&] { objective.loss(kPredictions, short_targets, std::nullopt); }, message);
  EXPECT_TRUE(same_bits(out, before));

  if constexpr (kUsesWeights<TypeParam>) {
    const std::string weights_message = "weights length 8 does not match targets length 7";
    const std::vector<float> eight(8, 1.0f);
    const Weights w{eight};
    expect_contract_violation([&] { objective.compute_gradients(kPredictions, kTargets, w); }, weights_message);
    expect_contract_violation([&] { objective.compute_gradients_into(kPredictions, kTargets, w, out); },
                              weights_message);
    expect_contract_violation([&] { objective.loss(kPredictions, kTargets, w); }, weights_message);
    EXPECT_TRUE(same_bits(out, before));
  }
}

TYPED_TEST(ObjectiveContract, LossOfNoRowsIsZero) {
  const TypeParam objective = make_objective<TypeParam>();
  EXPECT_EQ(objective.loss({}, {}, std::nullopt), 0.0f);
}

TEST(ObjectiveContractNames, EveryNameMapsBackToItsKind) {
  const char* names[] = {"squared_error", "binary_crossentropy", "multiclass_softmax", "queryrmse",
                         "rank_pairwise", "rank_ndcg",           "rank_xendcg",        "yetirank",
                         "poisson",       "gamma",               "tweedie",            "quantile",
                         "custom"};
  for (const char* name : names) {
    const auto kind = objective_kind_from_name(name);
    ASSERT_TRUE(kind.has_value()) << name;
    EXPECT_EQ(objective_name(*kind), name);
  }
  EXPECT_FALSE(objective_kind_from_name("Squared_error").has_value());
  EXPECT_FALSE(objective_kind_from_name("squared_error ").has_value());
  EXPECT_FALSE(objective_kind_from_name("").has_value());
}

}  // namespace
}  // namespace kestrune::engine::objectives

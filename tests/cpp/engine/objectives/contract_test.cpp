#include "engine/objectives/contract.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
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

static_assert(ObjectiveOps<SquaredErrorObjective>);
static_assert(ObjectiveOps<BinaryCrossEntropyObjective>);
static_assert(ObjectiveOps<PoissonObjective>);
static_assert(ObjectiveOps<GammaObjective>);
static_assert(ObjectiveOps<TweedieObjective>);
static_assert(ObjectiveOps<QuantileObjective>);
static_assert(RankingObjectiveOps<QueryRMSEObjective>);
static_assert(RankingObjectiveOps<PairwiseRankingObjective>);
static_assert(RankingObjectiveOps<LambdaMARTObjective>);
static_assert(RankingObjectiveOps<XeNDCGObjective>);
static_assert(RankingObjectiveOps<YetiRankObjective>);

// Seven rows in three query groups; targets are positive (Gamma) and graded (ranking).
const std::vector<std::uint32_t> kGroupIds{1, 1, 1, 2, 2, 3, 3};
const std::vector<float> kPredictions{0.25f, -1.5f, 0.75f, 2.0f, 0.0f, -0.5f, 1.25f};
const std::vector<float> kTargets{2.0f, 1.0f, 3.0f, 1.0f, 2.0f, 4.0f, 1.0f};
const std::vector<float> kWeights{1.0f, 0.5f, 2.0f, 1.5f, 0.25f, 3.0f, 1.0f};

template <typename T>
struct ObjectiveFactory;
#define KESTRUNE_PLAIN_FACTORY(Type, uses)               \
  template <>                                            \
  struct ObjectiveFactory<Type> {                        \
    static constexpr bool kUsesWeights = uses;           \
    static Type make() { return Type{}; }                \
  };
KESTRUNE_PLAIN_FACTORY(SquaredErrorObjective, true)
KESTRUNE_PLAIN_FACTORY(BinaryCrossEntropyObjective, true)
KESTRUNE_PLAIN_FACTORY(PoissonObjective, true)
KESTRUNE_PLAIN_FACTORY(GammaObjective, true)
#undef KESTRUNE_PLAIN_FACTORY
template <>
struct ObjectiveFactory<TweedieObjective> {
  static constexpr bool kUsesWeights = true;
  static TweedieObjective make() { return TweedieObjective::make(1.5f); }
};
template <>
struct ObjectiveFactory<QuantileObjective> {
  static constexpr bool kUsesWeights = true;
  static QuantileObjective make() { return QuantileObjective{0.3f}; }
};
#define KESTRUNE_GROUPED_FACTORY(Type, uses)             \
  template <>                                            \
  struct ObjectiveFactory<Type> {                        \
    static constexpr bool kUsesWeights = uses;           \
    static Type make() { return Type(kGroupIds); }       \
  };
KESTRUNE_GROUPED_FACTORY(QueryRMSEObjective, true)
KESTRUNE_GROUPED_FACTORY(PairwiseRankingObjective, false)
KESTRUNE_GROUPED_FACTORY(LambdaMARTObjective, false)
KESTRUNE_GROUPED_FACTORY(XeNDCGObjective, false)
#undef KESTRUNE_GROUPED_FACTORY
template <>
struct ObjectiveFactory<YetiRankObjective> {
  static constexpr bool kUsesWeights = false;
  static YetiRankObjective make() { return YetiRankObjective(kGroupIds, 3, 42); }
};

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
  const TypeParam objective = ObjectiveFactory<TypeParam>::make();
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
  const TypeParam objective = ObjectiveFactory<TypeParam>::make();
  const std::span<const float> short_targets = std::span<const float>(kTargets).first(6);
  const std::vector<GradientPair> before{{1.0f, 2.0f}, {3.0f, 4.0f}};
  std::vector<GradientPair> out = before;
  const std::string message = "predictions length 7 does not match targets length 6";
  expect_contract_violation([&] { objective.compute_gradients(kPredictions, short_targets, std::nullopt); }, message);
  expect_contract_violation(
      [&] { objective.compute_gradients_into(kPredictions, short_targets, std::nullopt, out); }, message);
  expect_contract_violation([&] { objective.loss(kPredictions, short_targets, std::nullopt); }, message);
  EXPECT_TRUE(same_bits(out, before));

  if constexpr (ObjectiveFactory<TypeParam>::kUsesWeights) {
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
  const TypeParam objective = ObjectiveFactory<TypeParam>::make();
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

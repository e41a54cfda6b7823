#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/joint/types.hpp"
#include "joint_test_support.hpp"

namespace kestrune::engine::joint {
namespace {

using testing_support::throws_joint_error;
using Ids = std::optional<std::span<const std::uint32_t>>;

const std::string kSupported =
    "; supported: squared_error, queryrmse, rank:pairwise, rank:ndcg, rank:xendcg, poisson, gamma, tweedie, quantile";

TEST(JointObjective, ParseAcceptsExactlyTheCanonicalNames) {
  struct Accepted {
    const char* name;
    JointObjective expected;
  };
  const std::vector<Accepted> accepted = {
      {"squared_error", {}}, {"queryrmse", {JointObjectiveKind::QueryRmse}},
      {"rank:pairwise", {JointObjectiveKind::RankPairwise}}, {"rank:ndcg", {JointObjectiveKind::RankNdcg}},
      {"rank:xendcg", {JointObjectiveKind::RankXendcg}}, {"poisson", {JointObjectiveKind::Poisson}},
      {"gamma", {JointObjectiveKind::Gamma}}, {"tweedie", JointObjective::tweedie(1.5f)},
      {"quantile", JointObjective::quantile(0.5f)},
  };
  for (const Accepted& a : accepted) {
    const JointObjective parsed = JointObjective::parse(a.name);
    EXPECT_EQ(parsed, a.expected) << a.name;
    EXPECT_EQ(parsed.name(), a.name);  // the canonical name reads back
  }
  // Case, surrounding spaces, the single-output spellings and the other trainer objectives.
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"Gamma", "\"Gamma\""}, {" gamma", "\" gamma\""}, {"rank_ndcg", "\"rank_ndcg\""},
      {"yetirank", "\"yetirank\""}, {"custom", "\"custom\""}, {"a\"b\\c", "\"a\\\"b\\\\c\""},
  };
  for (const auto& [name, quoted] : refused) {
    EXPECT_TRUE(throws_joint_error([&] { JointObjective::parse(name); },
                                   "joint multi-output trainer does not support objective " + quoted + kSupported));
  }
}

TEST(JointObjective, GradientsForwardToTheSingleOutputObjectives) {
  const std::vector<float> predictions = {0.5f, -1.25f, 2.0f, 0.0f, 3.5f};
  const std::vector<float> targets = {1.0f, 0.0f, 2.0f, 1.0f, 0.0f};
  const std::vector<std::uint32_t> groups = {7, 7, 3, 3, 3};

  // Query RMSE trains on plain squared-error pairs whatever the grouping.
  const auto pairs = JointObjective::parse("queryrmse").compute_gradients(predictions, targets, Ids(groups));
  ASSERT_EQ(pairs.size(), predictions.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    EXPECT_EQ(pairs[i].grad, predictions[i] - targets[i]);
    EXPECT_EQ(pairs[i].hess, 1.0f);
  }
  // Group-wise kinds refuse an absent list, and only an absent one.
  for (const char* name : {"queryrmse", "rank:pairwise", "rank:ndcg", "rank:xendcg"}) {
    const JointObjective objective = JointObjective::parse(name);
    EXPECT_TRUE(objective.requires_group_ids());
    EXPECT_TRUE(throws_joint_error([&] { objective.compute_gradients(predictions, targets, std::nullopt); },
                                   std::string(name) + " objective requires group identifiers"));
    EXPECT_EQ(objective.compute_gradients(predictions, targets, Ids(groups)).size(), predictions.size()) << name;
  }
  // A single-output failure arrives as its display text.
  const std::vector<float> one_target = {1.0f};
  EXPECT_TRUE(throws_joint_error(
      [&] { JointObjective::parse("squared_error").compute_gradients(predictions, one_target, std::nullopt); },
      "contract violation: predictions length 5 does not match targets length 1"));
}

TEST(JointObjective, TweediePowerOutsideTheOpenIntervalIsRefused) {
  const std::vector<float> values = {0.1f, 0.2f};
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (const auto& [power, shown] : {std::pair{2.0f, "2"}, {1.0f, "1"}, {nan, "NaN"}, {-0.5f, "-0.5"}}) {
    const std::string message = std::string("invalid config: Tweedie variance_power must satisfy 1 < p < 2 (got ") +
                                shown + "); use PoissonObjective for p=1 and GammaObjective for p=2";
    const JointObjective objective = JointObjective::tweedie(power);
    EXPECT_TRUE(throws_joint_error([&] { objective.check_parameters(); }, message)) << shown;
    EXPECT_TRUE(throws_joint_error([&] { objective.compute_gradients(values, values, std::nullopt); }, message));
  }
  EXPECT_NO_THROW(JointObjective::tweedie(1.5f).check_parameters());
  EXPECT_NO_THROW(JointObjective::quantile(7.0f).check_parameters());  // alpha is not checked here
}

TEST(JointObjective, InitialPredictionsNeverFail) {
  struct Case {
    const char* name;
    std::vector<float> targets;
    float expected;
  };
  // Targets outside a log-link domain, or none for the quantile, give 0 rather than an error.
  const std::vector<Case> cases = {
      {"squared_error", {1.0f, 2.0f, 3.0f, 4.0f}, 2.5f}, {"squared_error", {}, 0.0f}, {"rank:ndcg", {5.0f}, 0.0f},
      {"poisson", {1.0f, -1.0f}, 0.0f}, {"poisson", {2.0f, 2.0f}, std::log(2.0f)}, {"gamma", {0.0f}, 0.0f},
      {"quantile", {}, 0.0f}, {"quantile", {3.0f, 1.0f, 2.0f}, 2.0f},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(JointObjective::parse(c.name).initial_prediction(c.targets), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace kestrune::engine::joint

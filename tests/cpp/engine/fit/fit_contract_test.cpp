// The dry run before the first round: the starting score, and the gradient pairs at it, checked
// once for the built-in objectives and every round for user-code objectives.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "../engine_test_support.hpp"
#include "engine/factor.hpp"
#include "engine/trainer/fit_contract.hpp"
#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;
using testing_support::throws_engine_error;

constexpr std::size_t kRows = 48;

template <typename O>
IterationRunSummary fit(const Data& data, const O& objective, std::size_t rounds = 3,
                        std::optional<WarmStartState> warm_start = std::nullopt) {
  const Trainer trainer = make_trainer(small_params());
  return run_fit(trainer, data, objective, trainer.default_iteration_controls(rounds), {nullptr, std::move(warm_start)});
}

TEST(FitContract, TargetMeanStartOfUserCodeObjectives) {
  const std::vector<float> targets = {1.0f, 2.0f, 4.0f};
  const std::vector<float> no_targets;
  struct Case {
    const char* name;
    std::span<const float> targets;
    objectives::Weights weights;
    float expected;
  };
  const std::vector<float> weights = {1.0f, 1.0f, 2.0f};
  const std::vector<float> empty_weights;
  const std::vector<float> negative_weights = {1.0f, -3.0f, 1.0f};
  const Case cases[] = {
      {"no targets", no_targets, std::nullopt, 0.0f},
      {"unweighted", targets, std::nullopt, static_cast<float>(7.0 / 3.0)},
      {"weighted", targets, weights, static_cast<float>(11.0 / 4.0)},
      {"empty weights", targets, empty_weights, 0.0f},
      {"negative weight sum", targets, negative_weights, 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(target_mean_initial_prediction(c.targets, c.weights), c.expected);
  }
  const std::vector<float> nan_weights = {1.0f, kNaN, 1.0f};
  EXPECT_TRUE(std::isnan(target_mean_initial_prediction(targets, std::span<const float>(nan_weights))));
}

TEST(FitContract, StartingScoreMustBeFinite) {
  Data data = make_data(3, kRows, 3, Target::Regression);
  data.dataset.sample_weights = std::vector<float>(kRows, 1.0f);
  (*data.dataset.sample_weights)[5] = kNaN;
  EXPECT_TRUE(throws_engine_error([&] { fit(data, UserCodeObjective{}); }, EngineErrorKind::ContractViolation,
                                  "objective returned non-finite initial prediction"));
  // Weights summing to zero start from 0.
  data.dataset.sample_weights = std::vector<float>(kRows, 0.0f);
  (*data.dataset.sample_weights)[0] = 1.0f;
  (*data.dataset.sample_weights)[1] = -1.0f;
  EXPECT_EQ(fit(data, UserCodeObjective{}, 1).model.base_prediction, 0.0f);
}

TEST(FitContract, UserCodeGradientPairsAreCheckedInTheDryRunAndEveryRound) {
  const Data data = make_data(3, kRows, 3, Target::Regression);
  struct Case {
    const char* name;
    std::size_t call;  // 0 is the dry run
    core::GradientPair pair;
    bool fails;
  };
  const float tiny = std::numeric_limits<float>::denorm_min();
  const Case cases[] = {
      {"zero hessian before the first round", 0, {1.0f, 0.0f}, true},
      {"negative zero hessian in round 2", 2, {1.0f, -0.0f}, true},
      {"infinite hessian in round 3", 3, {0.5f, std::numeric_limits<float>::infinity()}, true},
      {"subnormal hessian in round 1", 1, {0.5f, tiny}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UserCodeObjective objective;
    objective.poisoned_call = c.call;
    objective.poison = c.pair;
    if (c.fails) {
      EXPECT_TRUE(throws_engine_error([&] { fit(data, objective, 4); }, EngineErrorKind::ContractViolation,
                                      "objective produced invalid gradient/hessian values"));
      EXPECT_EQ(objective.calls, c.call + 1);
    } else {
      EXPECT_EQ(fit(data, objective, 4).rounds_completed, 4u);
    }
  }
}

// A warm start supplies the base score, but the objective must still accept the targets.
TEST(FitContract, AWarmStartStillChecksTheTargets) {
  Data gamma = make_data(3, kRows, 3, Target::Positive);
  gamma.dataset.targets[7] = 0.0f;
  WarmStartState warm;
  warm.base_score = 1.0f;
  EXPECT_TRUE(throws_engine_error([&] { fit(gamma, objectives::GammaObjective{}, 1, warm); },
                                  EngineErrorKind::ContractViolation,
                                  "Gamma targets must be finite and strictly positive (> 0)"));
}

TEST(FitContract, GradientsAreNeutralizedWhenTheParametersAskForIt) {
  Data data = make_data(5, kRows, 3, Target::Regression);
  std::vector<float> exposure_values(kRows);
  for (std::size_t i = 0; i < kRows; ++i) exposure_values[i] = static_cast<float>(i % 5) - 2.0f;
  data.dataset.factor_exposures = core::FactorExposureMatrix::make(kRows, 1, std::move(exposure_values));
  core::TrainParams params = small_params();
  params.neutralization_config = core::NeutralizationConfig{core::NeutralizationKind::SplitPenalty, 0.25f, 0.0f};
  const Trainer trainer = make_trainer(params);
  const objectives::SquaredErrorObjective objective;

  const FitContractResult result = evaluate_fit_contract_on_active_dataset(trainer, data.dataset, objective);
  const std::vector<float> start(kRows, result.initial_prediction);
  std::vector<core::GradientPair> expected = objective.compute_gradients(start, data.dataset.targets, std::nullopt);
  FactorProjector::make(*data.dataset.factor_exposures, std::nullopt, 0.25f).project_gradient_pairs_in_place(expected);
  ASSERT_EQ(result.gradients.size(), expected.size());
  for (std::size_t i = 0; i < kRows; ++i) {
    EXPECT_EQ(result.gradients[i].grad, expected[i].grad);
    EXPECT_EQ(result.gradients[i].hess, expected[i].hess);
  }

  // Pre-target neutralization works on the targets: nothing is projected here.
  params.neutralization_config = core::NeutralizationConfig{core::NeutralizationKind::PreTarget, 0.25f, 0.0f};
  const FitContractResult plain = evaluate_fit_contract_on_active_dataset(make_trainer(params), data.dataset, objective);
  const std::vector<core::GradientPair> unprojected =
      objective.compute_gradients(start, data.dataset.targets, std::nullopt);
  for (std::size_t i = 0; i < kRows; ++i) EXPECT_EQ(plain.gradients[i].grad, unprojected[i].grad);
}

}  // namespace
}  // namespace kestrune::engine::trainer

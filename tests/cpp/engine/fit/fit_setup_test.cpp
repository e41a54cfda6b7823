// The checks a fit makes before its first round, as one ordered table: each row breaks its own
// rule and every rule after it, and must fail with its own message.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "../engine_test_support.hpp"
#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;
using testing_support::throws_engine_error;

constexpr std::size_t kTrainRows = 64;
constexpr std::size_t kValidationRows = 48;
constexpr std::size_t kFeatures = 4;

struct Scenario {
  core::TrainParams params = small_params();
  IterationControls controls = IterationControls::make(3, 1, 0, 0.0f, 0.0f, 1e6f, 0.0f);
  Data train = make_data(1, kTrainRows, kFeatures, Target::Relevance);
  Data validation = make_data(2, kValidationRows, kFeatures, Target::Relevance);
  bool with_validation = true;
  std::vector<std::uint32_t> objective_groups = *train.dataset.group_id;
  std::optional<WarmStartState> warm_start;

  IterationRunSummary run_ranking() const {
    const Trainer trainer = make_trainer(params);
    const objectives::LambdaMARTObjective objective(objective_groups);
    return run(trainer, objective);
  }
  template <typename O>
  IterationRunSummary run(const Trainer& trainer, const O& objective) const {
    return run_fit(trainer, train, objective, controls, {with_validation ? &validation : nullptr, warm_start});
  }
};

core::FactorExposureMatrix exposures(std::size_t rows) {
  std::vector<float> values(rows * 2);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>((i * 37) % 11) - 5.0f;
  return core::FactorExposureMatrix::make(rows, 2, std::move(values));
}

WarmStartState warm_start_on_feature(std::uint32_t feature) {
  WarmStartState warm;
  warm.stumps = stump_tree(0, 0.1f, -0.1f);
  warm.stumps[0].feature_index = feature;
  warm.completed_rounds = 1;
  return warm;
}

// The scenario's warm start, made valid first if there is none yet: the rules that spoil it each
// change their own part.
WarmStartState& warm(Scenario& s) {
  if (!s.warm_start) s.warm_start = warm_start_on_feature(1);
  return *s.warm_start;
}

struct SetupRule {
  const char* name;
  std::function<void(Scenario&)> spoil;
  EngineErrorKind kind;
  std::string message;
};

TEST(FitSetup, ChecksRunInOrderAndTheFirstFailureWins) {
  const std::vector<SetupRule> rules = {
      {"controls", [](Scenario& s) { s.controls.rounds = 0; }, EngineErrorKind::InvalidConfig,
       "rounds must be greater than 0"},
      {"early stopping without validation",
       [](Scenario& s) {
         s.controls.early_stopping_rounds = 2;
         s.with_validation = false;
       },
       EngineErrorKind::InvalidConfig, "validation early stopping requires a validation dataset"},
      {"training alignment", [](Scenario& s) { s.train.binned = make_data(1, kTrainRows - 1, kFeatures, Target::Relevance).binned; },
       EngineErrorKind::ContractViolation, "dataset row_count 64 does not match binned row_count 63"},
      {"training group_id", [](Scenario& s) { s.train.dataset.group_id.reset(); }, EngineErrorKind::ContractViolation,
       "this objective requires group_id to be provided on the training dataset"},
      {"validation alignment",
       [](Scenario& s) {
         s.validation.binned =
             make_data(2, kValidationRows - 2, s.validation.dataset.matrix.feature_count, Target::Relevance).binned;
       },
       EngineErrorKind::ContractViolation, "dataset row_count 48 does not match binned row_count 46"},
      {"validation feature count",
       [](Scenario& s) {
         Data wider = make_data(2, kValidationRows, kFeatures + 1, Target::Relevance);
         wider.dataset.group_id = s.validation.dataset.group_id;
         s.validation = std::move(wider);
       },
       EngineErrorKind::ContractViolation, "validation feature_count 5 does not match training feature_count 4"},
      {"validation group_id", [](Scenario& s) { s.validation.dataset.group_id.reset(); },
       EngineErrorKind::ContractViolation, "this objective requires group_id to be provided on the validation dataset"},
      {"training dataset", [](Scenario& s) { s.train.dataset.targets.pop_back(); }, EngineErrorKind::Core,
       "validation error: targets length 63 does not match row_count 64"},
      {"pre-target outside squared error",
       [](Scenario& s) {
         s.params.neutralization_config = core::NeutralizationConfig{core::NeutralizationKind::PreTarget, 1.0f, 0.0f};
         s.train.dataset.factor_exposures = exposures(kTrainRows);
       },
       EngineErrorKind::ContractViolation,
       "neutralization='pre_target' is only supported for GBMRegressor squared-error training"},
      {"warm start features", [](Scenario& s) { warm(s).stumps[0].feature_index = 9; },
       EngineErrorKind::ContractViolation, "warm-start model splits on feature 9 but the training data has 4 features"},
      {"warm start tree indices", [](Scenario& s) { warm(s).completed_rounds = 0; }, EngineErrorKind::ContractViolation,
       "warm-start model has a tree at index 0 but only 0 completed rounds"},
      {"fit contract", [](Scenario& s) { s.objective_groups.pop_back(); }, EngineErrorKind::ContractViolation,
       "group boundaries end at 63 but there are 64 rows"},
  };

  EXPECT_NO_THROW(Scenario{}.run_ranking());
  for (std::size_t i = 0; i < rules.size(); ++i) {
    SCOPED_TRACE(rules[i].name);
    Scenario scenario;
    // Later rules first, so that an earlier rule's change is made on top of theirs.
    for (std::size_t j = rules.size(); j-- > i;) rules[j].spoil(scenario);
    EXPECT_TRUE(throws_engine_error([&] { scenario.run_ranking(); }, rules[i].kind, rules[i].message));
  }
}

TEST(FitSetup, QuantileAlphaIsCheckedAfterTheParametersAndBeforeTheDataset) {
  const float bad_alphas[] = {0.0f, 1.0f, kNaN};
  for (const float alpha : bad_alphas) {
    SCOPED_TRACE(alpha);
    Scenario scenario;
    scenario.train.dataset.targets.pop_back();  // a dataset error, reported later
    const Trainer trainer = make_trainer(scenario.params);
    EXPECT_TRUE(throws_engine_error([&] { scenario.run(trainer, objectives::QuantileObjective{alpha}); },
                                    EngineErrorKind::InvalidConfig, "quantile_alpha must be finite and in (0.0, 1.0)"));
    scenario.validation = make_data(2, kValidationRows, kFeatures + 1, Target::Regression);
    EXPECT_TRUE(throws_engine_error([&] { scenario.run(trainer, objectives::QuantileObjective{alpha}); },
                                    EngineErrorKind::ContractViolation,
                                    "validation feature_count 5 does not match training feature_count 4"));
  }
  // The open interval's ends are excluded, a level just inside them trains.
  for (const float alpha : {std::numeric_limits<float>::denorm_min(), 0.5f, std::nextafter(1.0f, 0.0f)}) {
    Scenario scenario;
    scenario.train = make_data(4, kTrainRows, kFeatures, Target::Regression);
    scenario.with_validation = false;
    EXPECT_NO_THROW(scenario.run(make_trainer(scenario.params), objectives::QuantileObjective{alpha}));
  }
}

TEST(FitSetup, PreTargetNeutralizationTrainsOnTheResidualizedTargets) {
  Scenario scenario;
  scenario.train = make_data(4, kTrainRows, kFeatures, Target::Regression);
  scenario.with_validation = false;
  scenario.params.neutralization_config = core::NeutralizationConfig{core::NeutralizationKind::PreTarget, 0.5f, 0.0f};
  scenario.train.dataset.factor_exposures = exposures(kTrainRows);
  const Trainer trainer = make_trainer(scenario.params);

  const IterationRunSummary summary = scenario.run(trainer, objectives::SquaredErrorObjective{});
  // The fit trained on the residualized targets: its starting score is their mean.
  const std::optional<core::TrainingDataset> residualized =
      prepare_pre_target_training_dataset(scenario.params, scenario.train.dataset);
  ASSERT_TRUE(residualized.has_value());
  EXPECT_EQ(summary.model.base_prediction,
            objectives::SquaredErrorObjective{}.initial_prediction(residualized->targets, std::nullopt));
  EXPECT_NE(summary.model.base_prediction,
            objectives::SquaredErrorObjective{}.initial_prediction(scenario.train.dataset.targets, std::nullopt));
}

TEST(FitSetup, WarmStartTreesMustLieBeforeItsCompletedRounds) {
  Scenario scenario;
  scenario.warm_start = warm_start_on_feature(1);
  EXPECT_NO_THROW(scenario.run_ranking());
  // Tree 0 with no completed round: the fit's first tree would share its index.
  scenario.warm_start->completed_rounds = 0;
  EXPECT_TRUE(throws_engine_error([&] { scenario.run_ranking(); }, EngineErrorKind::ContractViolation,
                                  "warm-start model has a tree at index 0 but only 0 completed rounds"));
}

}  // namespace
}  // namespace kestrune::engine::trainer

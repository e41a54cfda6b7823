// The checks a fit makes before its first round, as ordered tables for the single-output (ranking)
// and multiclass fits: each row breaks its own rule and every rule after it, and must fail with its
// own message.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "../engine_test_support.hpp"
#include "fit_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace fit_testing;
using testing_support::throws_engine_error;
using enum EngineErrorKind;

constexpr std::size_t kTrainRows = 64;
constexpr std::size_t kValidationRows = 48;
constexpr std::size_t kFeatures = 4;

struct Scenario {
  explicit Scenario(Target target)
      : target(target),
        train(make_data(1, kTrainRows, kFeatures, target)),
        validation(make_data(2, kValidationRows, kFeatures, target)),
        objective_groups(train.dataset.group_id.value_or(std::vector<std::uint32_t>{})) {}

  Target target;
  core::TrainParams params = small_params();
  IterationControls controls = IterationControls::make(2, 1, 0, 0.0f, 0.0f, 1e6f, 0.0f);
  Data train, validation;
  bool with_validation = true;
  std::vector<std::uint32_t> objective_groups;
  std::optional<WarmStartState> warm_start;
  std::optional<MultiClassWarmStartState> class_warm_start;

  void run() const {
    const Trainer trainer = make_trainer(params);
    const Data* set = with_validation ? &validation : nullptr;
    if (target == Target::Classes) {
      run_multiclass(trainer, train, controls, set, class_warm_start);
    } else {
      run_fit(trainer, train, objectives::LambdaMARTObjective(objective_groups), controls, {set, warm_start});
    }
  }
  // A valid one-round warm start unless the scenario already has one.
  WarmStartState& warm() {
    if (!warm_start) {
      warm_start.emplace();
      warm_start->stumps = stump_tree(0, 0.1f, -0.1f);
      warm_start->completed_rounds = 1;
    }
    return *warm_start;
  }
  MultiClassWarmStartState& class_warm() {
    if (!class_warm_start) {
      class_warm_start.emplace();
      class_warm_start->baselines.assign(kClasses, 0.0f);
      class_warm_start->class_stumps.resize(kClasses);
      class_warm_start->class_stumps[1] = stump_tree(0, 0.2f, -0.2f);
      class_warm_start->initial_rounds_completed = 1;
    }
    return *class_warm_start;
  }
};

struct Rule {
  std::function<void(Scenario&)> spoil;
  EngineErrorKind kind;
  std::string message;
};

void expect_first_failure_wins(Target target, const std::vector<Rule>& rules) {
  EXPECT_NO_THROW(Scenario(target).run());
  for (std::size_t i = 0; i < rules.size(); ++i) {
    SCOPED_TRACE(rules[i].message);
    Scenario scenario(target);
    // Later rules first, so that an earlier rule's change is made on top of theirs.
    for (std::size_t j = rules.size(); j-- > i;) rules[j].spoil(scenario);
    EXPECT_TRUE(throws_engine_error([&] { scenario.run(); }, rules[i].kind, rules[i].message));
  }
}

const Rule kRounds{[](Scenario& s) { s.controls.rounds = 0; }, InvalidConfig, "rounds must be greater than 0"};
const Rule kEarlyStopping{[](Scenario& s) {
                            s.controls.early_stopping_rounds = 2;
                            s.with_validation = false;
                          },
                          InvalidConfig, "validation early stopping requires a validation dataset"};
const Rule kTrainAlignment{[](Scenario& s) { s.train.binned = make_data(1, kTrainRows - 1, kFeatures, s.target).binned; },
                           ContractViolation, "dataset row_count 64 does not match binned row_count 63"};
const Rule kValidationAlignment{
    [](Scenario& s) { s.validation.binned = make_data(2, kValidationRows - 2, kFeatures, s.target).binned; },
    ContractViolation, "dataset row_count 48 does not match binned row_count 46"};
const Rule kValidationFeatures{[](Scenario& s) {
                                 Data wider = make_data(2, kValidationRows, kFeatures + 1, s.target);
                                 wider.dataset.group_id = s.validation.dataset.group_id;
                                 s.validation = std::move(wider);
                               },
                               ContractViolation, "validation feature_count 5 does not match training feature_count 4"};
const Rule kTrainTargets{[](Scenario& s) { s.train.dataset.targets.pop_back(); }, Core,
                         "validation error: targets length 63 does not match row_count 64"};
const Rule kPreTarget{[](Scenario& s) {
                        s.params.neutralization_config =
                            core::NeutralizationConfig{core::NeutralizationKind::PreTarget, 1.0f, 0.0f};
                        add_exposures(s.train);
                      },
                      ContractViolation,
                      "neutralization='pre_target' is only supported for GBMRegressor squared-error training"};
const std::string kWarmFeature = "warm-start model splits on feature 4 but the training data has 4 features";
const std::string kWarmIndex = "warm-start model has a tree at index 0 but only 0 completed rounds";

TEST(FitSetup, ChecksRunInOrderAndTheFirstFailureWins) {
  expect_first_failure_wins(
      Target::Relevance,
      {kRounds, kEarlyStopping, kTrainAlignment,
       {[](Scenario& s) { s.train.dataset.group_id.reset(); }, ContractViolation,
        "this objective requires group_id to be provided on the training dataset"},
       kValidationAlignment, kValidationFeatures,
       {[](Scenario& s) { s.validation.dataset.group_id.reset(); }, ContractViolation,
        "this objective requires group_id to be provided on the validation dataset"},
       kTrainTargets, kPreTarget, {[](Scenario& s) { s.warm().stumps[0].feature_index = 4; }, ContractViolation, kWarmFeature},
       {[](Scenario& s) { s.warm().completed_rounds = 0; }, ContractViolation, kWarmIndex},
       {[](Scenario& s) { s.objective_groups.pop_back(); }, ContractViolation,
        "group boundaries end at 63 but there are 64 rows"}});
}

TEST(MulticlassSetup, ChecksRunInOrderAndTheFirstFailureWins) {
  expect_first_failure_wins(
      Target::Classes,
      {kRounds, kEarlyStopping, kTrainTargets, kPreTarget, kTrainAlignment, kValidationAlignment, kValidationFeatures,
       {[](Scenario& s) { s.train.dataset.targets[5] = 2.5f; }, ContractViolation,
        "target at index 5 is 2.5, expected integer in [0, 3)"},
       {[](Scenario& s) { s.validation.dataset.targets[7] = 3.0f; }, ContractViolation,
        "validation target at index 7 is 3, expected integer in [0, 3)"},
       {[](Scenario& s) { s.class_warm().baselines.pop_back(); }, ContractViolation,
        "warm-start baseline count 2 != num_classes 3"},
       {[](Scenario& s) { s.class_warm().class_stumps.emplace_back(); }, ContractViolation,
        "warm-start class_stumps count 4 != num_classes 3"},
       {[](Scenario& s) { s.class_warm().class_stumps[1][0].feature_index = 4; }, ContractViolation, kWarmFeature},
       {[](Scenario& s) { s.class_warm().initial_rounds_completed = 0; }, ContractViolation, kWarmIndex}});
}

}  // namespace
}  // namespace kestrune::engine::trainer

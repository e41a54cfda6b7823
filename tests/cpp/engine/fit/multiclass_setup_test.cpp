// The checks a multiclass fit makes before its first round, as one ordered table (each row
// breaks its own rule and every rule after it, and must fail with its own message), and the
// label rule.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "../engine_test_support.hpp"
#include "multiclass_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using namespace multiclass_testing;
using fit_testing::Data;
using fit_testing::kNaN;
using fit_testing::make_trainer;
using fit_testing::small_params;
using testing_support::throws_engine_error;

constexpr std::size_t kTrainRows = 64;
constexpr std::size_t kValidationRows = 40;
constexpr std::size_t kFeatures = 4;

struct Scenario {
  core::TrainParams params = small_params();
  IterationControls controls = IterationControls::make(2, 1, 0, 0.0f, 0.0f, 1e6f, 0.0f);
  Data train = make_multiclass_data(1, kTrainRows, kFeatures);
  Data validation = make_multiclass_data(2, kValidationRows, kFeatures);
  bool with_validation = true;
  std::optional<MultiClassWarmStartState> warm_start;

  MultiClassIterationRunSummary run() const {
    const Trainer trainer = make_trainer(params);
    return run_multiclass(trainer, train, controls, with_validation ? &validation : nullptr, warm_start);
  }
};

core::FactorExposureMatrix exposures(std::size_t rows) {
  std::vector<float> values(rows * 2);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>((i * 37) % 11) - 5.0f;
  return core::FactorExposureMatrix::make(rows, 2, std::move(values));
}

// A valid one-round warm start unless the scenario already has one.
MultiClassWarmStartState& warm(Scenario& s) {
  if (!s.warm_start) {
    MultiClassWarmStartState state;
    state.baselines.assign(kClasses, 0.0f);
    state.class_stumps.resize(kClasses);
    state.class_stumps[1] = fit_testing::stump_tree(0, 0.2f, -0.2f);
    state.initial_rounds_completed = 1;
    s.warm_start = std::move(state);
  }
  return *s.warm_start;
}

struct SetupRule {
  const char* name;
  std::function<void(Scenario&)> spoil;
  EngineErrorKind kind;
  std::string message;
};

TEST(MulticlassSetup, ChecksRunInOrderAndTheFirstFailureWins) {
  const std::vector<SetupRule> rules = {
      {"controls", [](Scenario& s) { s.controls.rounds = 0; }, EngineErrorKind::InvalidConfig,
       "rounds must be greater than 0"},
      {"early stopping without validation",
       [](Scenario& s) {
         s.controls.early_stopping_rounds = 2;
         s.with_validation = false;
       },
       EngineErrorKind::InvalidConfig, "validation early stopping requires a validation dataset"},
      {"training dataset", [](Scenario& s) { s.train.dataset.targets.pop_back(); }, EngineErrorKind::Core,
       "validation error: targets length 63 does not match row_count 64"},
      {"pre-target neutralization",
       [](Scenario& s) {
         s.params.neutralization_config = core::NeutralizationConfig{core::NeutralizationKind::PreTarget, 1.0f, 0.0f};
         s.train.dataset.factor_exposures = exposures(kTrainRows);
       },
       EngineErrorKind::ContractViolation,
       "neutralization='pre_target' is only supported for GBMRegressor squared-error training"},
      {"training alignment",
       [](Scenario& s) { s.train.binned = make_multiclass_data(1, kTrainRows - 1, kFeatures).binned; },
       EngineErrorKind::ContractViolation, "dataset row_count 64 does not match binned row_count 63"},
      {"validation alignment",
       [](Scenario& s) {
         s.validation.binned =
             make_multiclass_data(2, kValidationRows - 2, s.validation.dataset.matrix.feature_count).binned;
       },
       EngineErrorKind::ContractViolation, "dataset row_count 40 does not match binned row_count 38"},
      {"validation feature count", [](Scenario& s) { s.validation = make_multiclass_data(2, kValidationRows, 5); },
       EngineErrorKind::ContractViolation, "validation feature_count 5 does not match training feature_count 4"},
      {"training labels", [](Scenario& s) { s.train.dataset.targets[5] = 2.5f; }, EngineErrorKind::ContractViolation,
       "target at index 5 is 2.5, expected integer in [0, 3)"},
      {"validation labels", [](Scenario& s) { s.validation.dataset.targets[7] = 3.0f; },
       EngineErrorKind::ContractViolation, "validation target at index 7 is 3, expected integer in [0, 3)"},
      {"warm-start baselines", [](Scenario& s) { warm(s).baselines.pop_back(); }, EngineErrorKind::ContractViolation,
       "warm-start baseline count 2 != num_classes 3"},
      {"warm-start class lists", [](Scenario& s) { warm(s).class_stumps.emplace_back(); },
       EngineErrorKind::ContractViolation, "warm-start class_stumps count 4 != num_classes 3"},
      {"warm-start features", [](Scenario& s) { warm(s).class_stumps[1][0].feature_index = 9; },
       EngineErrorKind::ContractViolation, "warm-start model splits on feature 9 but the training data has 4 features"},
      {"warm-start tree indices", [](Scenario& s) { warm(s).initial_rounds_completed = 0; },
       EngineErrorKind::ContractViolation, "warm-start model has a tree at index 0 but only 0 completed rounds"},
  };

  EXPECT_NO_THROW(Scenario{}.run());
  for (std::size_t i = 0; i < rules.size(); ++i) {
    SCOPED_TRACE(rules[i].name);
    Scenario scenario;
    for (std::size_t j = rules.size(); j-- > i;) rules[j].spoil(scenario);
    EXPECT_TRUE(throws_engine_error([&] { scenario.run(); }, rules[i].kind, rules[i].message));
  }
}

TEST(MulticlassSetup, LabelsMustBeClassIndices) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const struct {
    float label;
    const char* text;
  } bad[] = {{-1.0f, "-1"}, {kNaN, "NaN"}, {kInf, "inf"}, {-0.5f, "-0.5"}};
  for (const auto& c : bad) {
    SCOPED_TRACE(c.text);
    std::vector<float> labels = {0.0f, 2.0f, c.label, 1.0f};
    EXPECT_TRUE(throws_engine_error([&] { check_class_labels(labels, 3, "target"); },
                                    EngineErrorKind::ContractViolation,
                                    std::string("target at index 2 is ") + c.text + ", expected integer in [0, 3)"));
  }
  const std::vector<float> good = {0.0f, 2.0f, -0.0f, 1.0f};
  EXPECT_NO_THROW(check_class_labels(good, 3, "target"));
}

}  // namespace
}  // namespace kestrune::engine::trainer

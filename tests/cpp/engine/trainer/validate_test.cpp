#include "engine/trainer/validate.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "../engine_test_support.hpp"

namespace kestrune::engine::trainer {
namespace {

using testing_support::throws_contract_violation;
using testing_support::throws_engine_error;
using Kind = core::NeutralizationKind;

TEST(TrainerValidate, TargetVarianceAndDensity) {
  // Weights 3 and 1 on 0 and 4: mean 1, variance (3*1 + 1*9) / 4 = 3.
  EXPECT_EQ(target_variance(std::vector<float>{0.0f, 4.0f}, std::vector<float>{3.0f, 1.0f}), 3.0f);
  EXPECT_EQ(target_variance(std::vector<float>{1.0f, 3.0f}, std::nullopt), 1.0f);
  EXPECT_TRUE(throws_contract_violation([] { target_variance({}, std::nullopt); }, "targets cannot be empty"));
  const std::vector<float> two{1.0f, 2.0f}, three{1.0f, 1.0f, 1.0f}, cancelling{1.0f, -1.0f};
  EXPECT_TRUE(throws_contract_violation([&] { target_variance(two, three); },
                                        "weights length 3 does not match targets length 2"));
  EXPECT_TRUE(throws_contract_violation([&] { target_variance(two, cancelling); },
                                        "sample weight sum must be greater than 0"));
  // Feature 0 uses bins 0..3 (all four), feature 1 only bin 2 and the missing code (no cell).
  EXPECT_EQ(binned_feature_density(core::BinnedMatrix::make(4, 2, 3, {0, 2, 1, 255, 2, 2, 3, 255})), 5.0f / 8.0f);
  EXPECT_EQ(binned_feature_density(core::BinnedMatrix::make_u16(2, 1, 999, 1000, {999, 0})), 2.0f / 1000.0f);
}

core::TrainParams params_with(std::optional<Kind> kind, float lambda = 0.0f) {
  core::TrainParams params;
  if (kind) params.neutralization_config = core::NeutralizationConfig{*kind, lambda, 0.0f};
  return params;
}

core::TrainingDataset dataset_with(std::size_t rows, std::optional<std::size_t> exposure_rows) {
  core::TrainingDataset dataset;
  dataset.matrix = core::DatasetMatrix::make_metadata_only(rows, 1);
  dataset.targets.assign(rows, 1.0f);
  if (exposure_rows) {
    std::vector<float> values;
    for (std::size_t r = 0; r < *exposure_rows; ++r) values.push_back(static_cast<float>(r) - 1.0f);
    dataset.factor_exposures = core::FactorExposureMatrix::make(*exposure_rows, 1, std::move(values));
  }
  return dataset;
}

TEST(ValidateNeutralization, FitContractRulesInOrder) {
  const std::string required = "factor_exposures are required when neutralization is active";
  const std::string pre_target = "neutralization='pre_target' is only supported for GBMRegressor squared-error training";
  struct Case {
    std::optional<Kind> kind;
    std::optional<std::size_t> exposure_rows;  // the training matrix has 4 rows
    bool pre_target_supported;
    std::optional<std::string> message;
    bool projects_gradients = false;
  };
  const std::vector<Case> cases = {
      {std::nullopt, std::nullopt, false, std::nullopt},
      {std::nullopt, 4, true, "factor_exposures were provided but neutralization='none'"},
      {Kind::PerRoundGradient, 4, false, std::nullopt, true},
      {Kind::SplitPenalty, std::nullopt, false, required, true},
      {Kind::SplitPenalty, 3, false, "factor_exposures row_count 3 does not match training row_count 4", true},
      {Kind::PreTarget, 4, true, std::nullopt},
      {Kind::PreTarget, 4, false, pre_target},
      // Missing exposures and the row count are reported before the support question.
      {Kind::PreTarget, std::nullopt, false, required},
      {Kind::PreTarget, 5, false, "factor_exposures row_count 5 does not match training row_count 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases.data());
    const core::TrainParams params = params_with(c.kind, 1.0f);
    EXPECT_EQ(gradient_neutralization_config(params).has_value(), c.projects_gradients);
    const core::TrainingDataset dataset = dataset_with(4, c.exposure_rows);
    const auto call = [&] { validate_neutralization_fit_contract_for_support(params, dataset, c.pre_target_supported); };
    if (c.message) {
      EXPECT_TRUE(throws_contract_violation(call, *c.message));
    } else {
      EXPECT_NO_THROW(call());
    }
  }
  // A warm start under any neutralization needs the exposures again.
  const core::TrainingDataset bare = dataset_with(3, std::nullopt);
  for (const Kind kind : {Kind::PreTarget, Kind::PerRoundGradient, Kind::SplitPenalty}) {
    EXPECT_TRUE(throws_contract_violation(
        [&] { validate_warm_start_neutralization_contract(params_with(kind), true, bare); },
        "neutralized warm-start training requires factor_exposures to be supplied; pass the same matrix used for the "
        "initial fit"));
  }
  EXPECT_NO_THROW(validate_warm_start_neutralization_contract(params_with(Kind::PreTarget), true, dataset_with(3, 3)));
  EXPECT_NO_THROW(validate_warm_start_neutralization_contract(params_with(Kind::PreTarget), false, bare));
  EXPECT_NO_THROW(validate_warm_start_neutralization_contract(params_with(std::nullopt), true, bare));
}

}  // namespace
}  // namespace kestrune::engine::trainer

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

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(TrainerValidate, IterationControlsRulesInOrder) {
  IterationControls valid = IterationControls::make(1, 1, 0, 0.0f, 0.0f, 1.0f, 0.0f);
  valid.min_split_gain = -0.0f;
  valid.early_stopping_rounds = 1;
  EXPECT_NO_THROW(validate_iteration_controls(valid));

  struct Case {
    void (*spoil)(IterationControls&);
    const char* message;
  };
  const Case cases[] = {
      // Rows before gain here, unlike the constructor; every later field is broken too.
      {[](IterationControls& c) { c.rounds = 0; c.min_rows_per_leaf = 0; }, "rounds must be greater than 0"},
      {[](IterationControls& c) { c.min_rows_per_leaf = 0; c.min_split_gain = kNaN; },
       "min_rows_per_leaf must be greater than 0"},
      {[](IterationControls& c) { c.min_split_gain = -1.0f; c.min_abs_leaf_value = -1.0f; },
       "min_split_gain must be finite and >= 0"},
      {[](IterationControls& c) { c.min_abs_leaf_value = kNaN; c.max_abs_leaf_value = 0.0f; },
       "min_abs_leaf_value must be finite and >= 0"},
      {[](IterationControls& c) { c.max_abs_leaf_value = -0.0f; }, "max_abs_leaf_value must be finite and > 0"},
      {[](IterationControls& c) { c.min_abs_leaf_value = 2.0f; c.min_loss_improvement = kNaN; },
       "min_abs_leaf_value cannot exceed max_abs_leaf_value"},
      {[](IterationControls& c) { c.min_loss_improvement = -1.0f; c.row_subsample = 0.0f; },
       "min_loss_improvement must be finite and >= 0"},
      {[](IterationControls& c) { c.row_subsample = kNaN; c.col_subsample = 2.0f; }, "row_subsample must be in (0.0, 1.0]"},
      {[](IterationControls& c) { c.col_subsample = 0.0f; c.early_stopping_rounds = 0; },
       "col_subsample must be in (0.0, 1.0]"},
      {[](IterationControls& c) { c.early_stopping_rounds = 0; c.min_validation_improvement = kNaN; },
       "early_stopping_rounds must be greater than 0"},
      {[](IterationControls& c) { c.min_validation_improvement = -1.0f; },
       "min_validation_improvement must be finite and >= 0"},
  };
  for (const Case& c : cases) {
    IterationControls controls = IterationControls::make(1, 1, 0, 0.0f, 0.0f, 1.0f, 0.0f);
    c.spoil(controls);
    EXPECT_TRUE(throws_engine_error([&] { validate_iteration_controls(controls); }, EngineErrorKind::InvalidConfig,
                                    c.message));
  }
}

TEST(TrainerValidate, AlignmentChecksTheMatrixThenBothCounts) {
  core::TrainingDataset dataset;
  dataset.matrix = core::DatasetMatrix::make_metadata_only(2, 5);
  core::BinnedMatrix binned = core::BinnedMatrix::make(3, 2, 4, std::vector<std::uint8_t>(6, 1));
  binned.bins.set(0, 9);  // above max_bin and not the missing bin: the binned matrix's own error comes first
  EXPECT_TRUE(throws_engine_error([&] { validate_training_alignment(dataset, binned); }, EngineErrorKind::Core,
                                  "validation error: bin value 9 exceeds max_bin 4"));
  binned.bins.set(0, 1);
  EXPECT_TRUE(throws_contract_violation([&] { validate_training_alignment(dataset, binned); },
                                        "dataset row_count 2 does not match binned row_count 3"));
  dataset.matrix = core::DatasetMatrix::make_metadata_only(3, 5);
  EXPECT_TRUE(throws_contract_violation([&] { validate_training_alignment(dataset, binned); },
                                        "dataset feature_count 5 does not match binned feature_count 2"));
}

TEST(TrainerValidate, TargetVariance) {
  EXPECT_EQ(target_variance(std::vector<float>{1.0f, 3.0f}, std::nullopt), 1.0f);
  // Weighted: weights 3 and 1 on 0 and 4: mean 1, variance (3*1 + 1*9) / 4 = 3.
  const std::vector<float> weights{3.0f, 1.0f};
  EXPECT_EQ(target_variance(std::vector<float>{0.0f, 4.0f}, weights), 3.0f);
  EXPECT_TRUE(throws_contract_violation([] { target_variance({}, std::nullopt); }, "targets cannot be empty"));
  const std::vector<float> three{1.0f, 1.0f, 1.0f};
  EXPECT_TRUE(throws_contract_violation([&] { target_variance(std::vector<float>{1.0f, 2.0f}, three); },
                                        "weights length 3 does not match targets length 2"));
  const std::vector<float> cancelling{1.0f, -1.0f};
  EXPECT_TRUE(throws_contract_violation([&] { target_variance(std::vector<float>{1.0f, 2.0f}, cancelling); },
                                        "sample weight sum must be greater than 0"));
}

TEST(TrainerValidate, DensityCountsOccupiedCellsUpToMaxBin) {
  // Feature 0 uses bins 0..3 (all four), feature 1 only bin 2 and the missing code (no cell).
  const core::BinnedMatrix binned = core::BinnedMatrix::make(4, 2, 3, {0, 2, 1, 255, 2, 2, 3, 255});
  EXPECT_EQ(binned_feature_density(binned), 5.0f / 8.0f);
  const core::BinnedMatrix wide = core::BinnedMatrix::make_u16(2, 1, 999, 1000, {999, 0});
  EXPECT_EQ(binned_feature_density(wide), 2.0f / 1000.0f);
}

TEST(ValidateGradientPairs, CountThenValuesInRowOrder) {
  const std::string invalid = "objective produced invalid gradient/hessian values";
  struct Case {
    const char* name;
    std::vector<core::GradientPair> pairs;
    std::size_t rows;
    std::optional<std::string> full;  // message of validate_gradient_pairs, nullopt for success
    bool length_only_fails;           // validate_gradient_pair_length
  };
  const std::vector<Case> cases = {
      {"valid", {{-1.5f, 1.0f}, {0.5f, std::numeric_limits<float>::denorm_min()}}, 2, std::nullopt, false},
      {"too few", {{0.0f, 1.0f}}, 3, "objective returned 1 gradients for row_count 3", true},
      // The count is checked before any value.
      {"too many and bad", {{kNaN, 0.0f}, {kNaN, 0.0f}}, 1, "objective returned 2 gradients for row_count 1", true},
      {"zero hessian", {{1.0f, 1.0f}, {1.0f, 0.0f}}, 2, invalid, false},
      {"negative zero hessian", {{1.0f, -0.0f}}, 1, invalid, false},
      {"infinite hessian", {{1.0f, kInf}}, 1, invalid, false},
      {"nan gradient", {{kNaN, 1.0f}}, 1, invalid, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.full) {
      EXPECT_TRUE(throws_contract_violation([&] { validate_gradient_pairs(c.pairs, c.rows); }, *c.full));
    } else {
      EXPECT_NO_THROW(validate_gradient_pairs(c.pairs, c.rows));
    }
    if (c.length_only_fails) {
      EXPECT_TRUE(throws_contract_violation([&] { validate_gradient_pair_length(c.pairs, c.rows); }, *c.full));
    } else {
      EXPECT_NO_THROW(validate_gradient_pair_length(c.pairs, c.rows));
    }
  }
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

TEST(ValidateNeutralization, GradientConfigOnlyForGradientKinds) {
  EXPECT_FALSE(gradient_neutralization_config(params_with(std::nullopt)));
  EXPECT_FALSE(gradient_neutralization_config(params_with(Kind::PreTarget, 1.0f)));
  EXPECT_TRUE(gradient_neutralization_config(params_with(Kind::PerRoundGradient)));
  EXPECT_TRUE(gradient_neutralization_config(params_with(Kind::SplitPenalty)));
}

TEST(ValidateNeutralization, FitContractRulesInOrder) {
  const std::string required = "factor_exposures are required when neutralization is active";
  struct Case {
    const char* name;
    std::optional<Kind> kind;
    std::optional<std::size_t> exposure_rows;  // the training matrix has 4 rows
    bool pre_target_supported;
    std::optional<std::string> message;
  };
  const std::vector<Case> cases = {
      {"none without exposures", std::nullopt, std::nullopt, false, std::nullopt},
      {"none with exposures", std::nullopt, 4, true, "factor_exposures were provided but neutralization='none'"},
      {"per round", Kind::PerRoundGradient, 4, false, std::nullopt},
      {"split penalty without exposures", Kind::SplitPenalty, std::nullopt, false, required},
      {"split penalty short exposures", Kind::SplitPenalty, 3, false,
       "factor_exposures row_count 3 does not match training row_count 4"},
      {"pre target supported", Kind::PreTarget, 4, true, std::nullopt},
      {"pre target unsupported", Kind::PreTarget, 4, false,
       "neutralization='pre_target' is only supported for GBMRegressor squared-error training"},
      // Missing exposures and the row count are reported before the support question.
      {"pre target unsupported without exposures", Kind::PreTarget, std::nullopt, false, required},
      {"pre target unsupported long exposures", Kind::PreTarget, 5, false,
       "factor_exposures row_count 5 does not match training row_count 4"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const core::TrainParams params = params_with(c.kind);
    const core::TrainingDataset dataset = dataset_with(4, c.exposure_rows);
    const auto call = [&] { validate_neutralization_fit_contract_for_support(params, dataset, c.pre_target_supported); };
    if (c.message) {
      EXPECT_TRUE(throws_contract_violation(call, *c.message));
    } else {
      EXPECT_NO_THROW(call());
    }
  }
}

TEST(ValidateNeutralization, WarmStartNeedsExposuresUnderNeutralization) {
  const std::string message =
      "neutralized warm-start training requires factor_exposures to be supplied; pass the same matrix used for the "
      "initial fit";
  const core::TrainingDataset bare = dataset_with(3, std::nullopt);
  for (Kind kind : {Kind::PreTarget, Kind::PerRoundGradient, Kind::SplitPenalty}) {
    EXPECT_TRUE(throws_contract_violation(
        [&] { validate_warm_start_neutralization_contract(params_with(kind), true, bare); }, message));
  }
  EXPECT_NO_THROW(validate_warm_start_neutralization_contract(params_with(Kind::PreTarget), true, dataset_with(3, 3)));
  EXPECT_NO_THROW(validate_warm_start_neutralization_contract(params_with(Kind::PreTarget), false, bare));
  EXPECT_NO_THROW(validate_warm_start_neutralization_contract(params_with(std::nullopt), true, bare));
}

TEST(ValidatePreTarget, CopyWithResidualizedTargetsOnlyUnderPreTarget) {
  core::TrainingDataset dataset;
  dataset.matrix = core::DatasetMatrix::make(4, 2, {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f, 8.0f});
  dataset.targets = {2.0f, -1.0f, 0.5f, 3.0f};
  dataset.sample_weights = std::vector<float>{1.0f, 2.0f, 0.0f, 1.0f};
  dataset.group_id = std::vector<std::uint32_t>{0, 0, 1, 1};
  dataset.factor_exposures = core::FactorExposureMatrix::make(4, 1, {1.0f, -1.0f, 2.0f, 0.5f});
  const core::TrainingDataset original = dataset;
  EXPECT_FALSE(prepare_pre_target_training_dataset(params_with(Kind::PerRoundGradient, 1.0f), dataset));

  const std::optional<core::TrainingDataset> prepared =
      prepare_pre_target_training_dataset(params_with(Kind::PreTarget, 0.5f), dataset);
  ASSERT_TRUE(prepared);
  // Hand-computed: beta = sum(w x y) / (sum(w x^2) + lambda) = (2 + 2 + 0 + 1.5) / (1 + 2 + 0 + 0.25 + 0.5); the
  // zero-weight row takes no part in beta but is still residualized.
  const double beta = 5.5 / 3.75;
  const std::vector<float> expected{static_cast<float>(2.0 - beta), static_cast<float>(-1.0 + beta),
                                    static_cast<float>(0.5 - 2.0 * beta), static_cast<float>(3.0 - 0.5 * beta)};
  EXPECT_EQ(prepared->targets, expected);
  EXPECT_EQ(prepared->matrix.values, original.matrix.values);
  EXPECT_EQ(prepared->group_id, original.group_id);
  EXPECT_EQ(dataset.targets, original.targets);  // the caller's dataset is untouched
}

TEST(ValidateFeatureMeans, FiniteValuesOnlyOverTheFirstRows) {
  // Three rows of three features, then a fourth row that is not counted.
  const std::vector<float> values{1.0f, kNaN, 2.0f,   //
                                  3.0f, kNaN, kInf,   //
                                  -1.0f, kNaN, -kInf, //
                                  100.0f, 100.0f, 100.0f};
  EXPECT_EQ(compute_feature_means_from_matrix(values, 3, 3), (std::vector<float>{1.0f, 0.0f, 2.0f}));
  // The sum runs in float64: a float32 sum would lose both ones added to 2^24.
  EXPECT_EQ(compute_feature_means_from_matrix(std::vector<float>{16777216.0f, 1.0f, 1.0f}, 1, 3),
            std::vector<float>{5592406.0f});
  // Absent for empty or short input.
  const std::vector<float> six(6, 1.0f);
  EXPECT_FALSE(compute_feature_means_from_matrix(six, 0, 3));
  EXPECT_FALSE(compute_feature_means_from_matrix(six, 2, 4));
  EXPECT_FALSE(compute_feature_means_from_matrix(six, std::numeric_limits<std::size_t>::max(), 2));
}

}  // namespace
}  // namespace kestrune::engine::trainer

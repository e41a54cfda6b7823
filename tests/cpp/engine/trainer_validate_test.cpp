#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "engine/error.hpp"
#include "engine/trainer/validate.hpp"

namespace kestrune::engine::trainer {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kSubnormal = std::numeric_limits<float>::denorm_min();

using Kind = core::NeutralizationKind;

::testing::AssertionResult fails_with(const std::function<void()>& body, const std::string& message) {
  try {
    body();
  } catch (const EngineError& error) {
    if (error.kind() == EngineErrorKind::ContractViolation && error.message() == message) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "threw " << error.debug();
  }
  return ::testing::AssertionFailure() << "threw nothing, wanted \"" << message << "\"";
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

TEST(ValidateGradientPairs, CountThenValuesInRowOrder) {
  const std::string invalid = "objective produced invalid gradient/hessian values";
  struct Case {
    const char* name;
    std::vector<core::GradientPair> pairs;
    std::size_t rows;
    std::optional<std::string> full;    // message of validate_gradient_pairs, nullopt for success
    bool length_only_fails;             // validate_gradient_pair_length
  };
  const std::vector<Case> cases = {
      {"valid", {{-1.5f, 1.0f}, {0.0f, 2.0f}}, 2, std::nullopt, false},
      {"subnormal hessian", {{0.5f, kSubnormal}}, 1, std::nullopt, false},
      {"empty", {}, 0, std::nullopt, false},
      {"too few", {{0.0f, 1.0f}}, 3, "objective returned 1 gradients for row_count 3", true},
      // The count is checked before any value.
      {"too many and bad", {{kNaN, 0.0f}, {kNaN, 0.0f}}, 1, "objective returned 2 gradients for row_count 1", true},
      {"zero hessian", {{1.0f, 1.0f}, {1.0f, 0.0f}}, 2, invalid, false},
      {"negative zero hessian", {{1.0f, -0.0f}}, 1, invalid, false},
      {"negative hessian", {{1.0f, -1.0f}}, 1, invalid, false},
      {"nan hessian", {{1.0f, kNaN}}, 1, invalid, false},
      {"infinite hessian", {{1.0f, kInf}}, 1, invalid, false},
      {"nan gradient", {{kNaN, 1.0f}}, 1, invalid, false},
      {"infinite gradient", {{-kInf, 1.0f}}, 1, invalid, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.full) {
      EXPECT_TRUE(fails_with([&] { validate_gradient_pairs(c.pairs, c.rows); }, *c.full));
    } else {
      EXPECT_NO_THROW(validate_gradient_pairs(c.pairs, c.rows));
    }
    if (c.length_only_fails) {
      EXPECT_TRUE(fails_with([&] { validate_gradient_pair_length(c.pairs, c.rows); }, *c.full));
    } else {
      EXPECT_NO_THROW(validate_gradient_pair_length(c.pairs, c.rows));
    }
  }
}

TEST(ValidateNeutralization, GradientConfigOnlyForGradientKinds) {
  EXPECT_FALSE(gradient_neutralization_config(params_with(std::nullopt)));
  EXPECT_FALSE(gradient_neutralization_config(params_with(Kind::PreTarget, 1.0f)));
  for (Kind kind : {Kind::PerRoundGradient, Kind::SplitPenalty}) {
    core::TrainParams params = params_with(kind, 0.5f);
    params.neutralization_config->factor_penalty = 0.25f;
    const std::optional<core::NeutralizationConfig> config = gradient_neutralization_config(params);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->kind, kind);
    EXPECT_EQ(config->factor_neutralization_lambda, 0.5f);
    EXPECT_EQ(config->factor_penalty, 0.25f);
  }
}

TEST(ValidateNeutralization, FitContractRulesInOrder) {
  const std::string required = "factor_exposures are required when neutralization is active";
  const std::string pre_target = "neutralization='pre_target' is only supported for GBMRegressor squared-error training";
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
      {"per round without exposures", Kind::PerRoundGradient, std::nullopt, true, required},
      {"split penalty without exposures", Kind::SplitPenalty, std::nullopt, false, required},
      {"split penalty short exposures", Kind::SplitPenalty, 3, false,
       "factor_exposures row_count 3 does not match training row_count 4"},
      {"pre target supported", Kind::PreTarget, 4, true, std::nullopt},
      {"pre target unsupported", Kind::PreTarget, 4, false, pre_target},
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
      EXPECT_TRUE(fails_with(call, *c.message));
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
  const core::TrainingDataset exposed = dataset_with(3, 3);
  for (Kind kind : {Kind::PreTarget, Kind::PerRoundGradient, Kind::SplitPenalty}) {
    EXPECT_TRUE(fails_with([&] { validate_warm_start_neutralization_contract(params_with(kind), true, bare); }, message));
    EXPECT_NO_THROW(validate_warm_start_neutralization_contract(params_with(kind), true, exposed));
    EXPECT_NO_THROW(validate_warm_start_neutralization_contract(params_with(kind), false, bare));
  }
  EXPECT_NO_THROW(validate_warm_start_neutralization_contract(params_with(std::nullopt), true, bare));
}

TEST(ValidatePreTarget, AbsentUnlessPreTarget) {
  const core::TrainingDataset dataset = dataset_with(3, 3);
  for (std::optional<Kind> kind : {std::optional<Kind>{}, std::optional<Kind>{Kind::PerRoundGradient},
                                   std::optional<Kind>{Kind::SplitPenalty}}) {
    EXPECT_FALSE(prepare_pre_target_training_dataset(params_with(kind, 1.0f), dataset));
  }
}

TEST(ValidatePreTarget, DeepCopyWithResidualizedTargets) {
  core::TrainingDataset dataset;
  dataset.matrix = core::DatasetMatrix::make(4, 2, {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f, 8.0f});
  dataset.targets = {2.0f, -1.0f, 0.5f, 3.0f};
  dataset.sample_weights = std::vector<float>{1.0f, 2.0f, 0.0f, 1.0f};
  dataset.time_index = std::vector<std::int64_t>{10, 11, 12, 13};
  dataset.group_id = std::vector<std::uint32_t>{0, 0, 1, 1};
  dataset.factor_exposures = core::FactorExposureMatrix::make(4, 1, {1.0f, -1.0f, 2.0f, 0.5f});
  const core::TrainingDataset original = dataset;

  const std::optional<core::TrainingDataset> prepared =
      prepare_pre_target_training_dataset(params_with(Kind::PreTarget, 0.5f), dataset);
  ASSERT_TRUE(prepared);
  // Hand-computed: beta = sum(w x y) / (sum(w x^2) + lambda) = (2 + 2 + 0 + 1.5) / (1 + 2 + 0 + 0.25 + 0.5).
  const double beta = 5.5 / 3.75;
  const std::vector<float> expected{static_cast<float>(2.0 - beta), static_cast<float>(-1.0 + beta),
                                    static_cast<float>(0.5 - 2.0 * beta), static_cast<float>(3.0 - 0.5 * beta)};
  EXPECT_EQ(prepared->targets, expected);
  EXPECT_EQ(prepared->matrix.values, original.matrix.values);
  EXPECT_EQ(prepared->matrix.row_count, 4u);
  EXPECT_EQ(prepared->sample_weights, original.sample_weights);
  EXPECT_EQ(prepared->time_index, original.time_index);
  EXPECT_EQ(prepared->group_id, original.group_id);
  ASSERT_TRUE(prepared->factor_exposures);
  EXPECT_EQ(prepared->factor_exposures->values, original.factor_exposures->values);
  // The caller's dataset is untouched.
  EXPECT_EQ(dataset.targets, original.targets);
}

TEST(ValidatePreTarget, ProjectorErrorsPassThrough) {
  EXPECT_TRUE(fails_with([] { prepare_pre_target_training_dataset(params_with(Kind::PreTarget), dataset_with(3, std::nullopt)); },
                         "factor_exposures are required when neutralization is active"));
  core::TrainingDataset zero = dataset_with(2, std::nullopt);
  zero.factor_exposures = core::FactorExposureMatrix::make(2, 1, {0.0f, 0.0f});
  EXPECT_TRUE(fails_with([&] { prepare_pre_target_training_dataset(params_with(Kind::PreTarget, 0.0f), zero); },
                         "factor exposure Gram matrix is singular; increase factor_neutralization_lambda"));
}

TEST(ValidateFeatureMeans, FiniteValuesOnlyOverTheFirstRows) {
  // Three rows of three features, then a fourth row that is not counted.
  const std::vector<float> values{1.0f, kNaN, 2.0f,   //
                                  3.0f, kNaN, kInf,   //
                                  -1.0f, kNaN, -kInf, //
                                  100.0f, 100.0f, 100.0f};
  const std::optional<std::vector<float>> means = compute_feature_means_from_matrix(values, 3, 3);
  ASSERT_TRUE(means);
  EXPECT_EQ(*means, (std::vector<float>{1.0f, 0.0f, 2.0f}));

  // The sum runs in float64: a float32 sum would lose both ones added to 2^24.
  const std::optional<std::vector<float>> wide =
      compute_feature_means_from_matrix(std::vector<float>{16777216.0f, 1.0f, 1.0f}, 1, 3);
  ASSERT_TRUE(wide);
  EXPECT_EQ((*wide)[0], 5592406.0f);
}

TEST(ValidateFeatureMeans, AbsentForEmptyOrShortInput) {
  const std::vector<float> six(6, 1.0f);
  EXPECT_FALSE(compute_feature_means_from_matrix(six, 0, 3));
  EXPECT_FALSE(compute_feature_means_from_matrix(six, 2, 0));
  EXPECT_FALSE(compute_feature_means_from_matrix(six, 2, 4));
  EXPECT_FALSE(compute_feature_means_from_matrix(six, std::numeric_limits<std::size_t>::max(), 2));
  EXPECT_TRUE(compute_feature_means_from_matrix(six, 2, 3));
}

}  // namespace
}  // namespace kestrune::engine::trainer

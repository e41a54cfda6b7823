#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "core/config.hpp"
#include "core/error.hpp"

namespace kestrune::core {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct Case {
  const char* name;
  std::function<void(TrainParams&)> change;
  const char* message;  // nullptr: the parameters pass
};

std::string outcome(const TrainParams& params) {
  try {
    validate_train_params(params);
    return "ok";
  } catch (const CoreError& error) {
    EXPECT_EQ(error.kind(), CoreErrorKind::InvalidConfig);
    return error.message();
  }
}

NeutralizationConfig neutralization(NeutralizationKind kind, float lambda = 0.0f, float penalty = 0.0f) {
  return {kind, lambda, penalty};
}

MorphConfig morph_with(std::function<void(MorphConfig&)> change) {
  MorphConfig config;
  change(config);
  return config;
}

const Case kCases[] = {
    {"defaults", [](TrainParams&) {}, nullptr},
    {"learning_rate_one", [](TrainParams& p) { p.learning_rate = 1.0f; }, nullptr},
    {"learning_rate_zero", [](TrainParams& p) { p.learning_rate = 0.0f; }, "learning_rate must be in (0.0, 1.0]"},
    {"learning_rate_above_one", [](TrainParams& p) { p.learning_rate = 1.0000001f; },
     "learning_rate must be in (0.0, 1.0]"},
    {"learning_rate_nan", [](TrainParams& p) { p.learning_rate = kNaN; }, "learning_rate must be in (0.0, 1.0]"},
    {"max_depth_zero", [](TrainParams& p) { p.max_depth = 0; }, "max_depth must be greater than 0"},
    {"row_subsample_nan", [](TrainParams& p) { p.row_subsample = kNaN; }, "row_subsample must be in (0.0, 1.0]"},
    {"col_subsample_negative", [](TrainParams& p) { p.col_subsample = -0.5f; },
     "col_subsample must be in (0.0, 1.0]"},
    {"early_stopping_zero", [](TrainParams& p) { p.early_stopping_rounds = 0; },
     "early_stopping_rounds must be greater than 0 when set"},
    {"min_validation_improvement_inf", [](TrainParams& p) { p.min_validation_improvement = kInf; },
     "min_validation_improvement must be finite and >= 0"},
    {"min_data_in_leaf_zero", [](TrainParams& p) { p.min_data_in_leaf = 0; },
     "min_data_in_leaf must be greater than 0"},
    {"lambda_l1_negative_zero", [](TrainParams& p) { p.lambda_l1 = -0.0f; }, nullptr},
    {"lambda_l1_tiny_negative", [](TrainParams& p) { p.lambda_l1 = -1e-30f; }, "lambda_l1 must be finite and >= 0"},
    {"lambda_l2_nan", [](TrainParams& p) { p.lambda_l2 = kNaN; }, "lambda_l2 must be finite and >= 0"},
    {"min_child_hessian_inf", [](TrainParams& p) { p.min_child_hessian = kInf; },
     "min_child_hessian must be finite and >= 0"},
    {"monotone_valid", [](TrainParams& p) { p.monotone_constraints = {1, -1, 0}; }, nullptr},
    {"monotone_two", [](TrainParams& p) { p.monotone_constraints = {2}; },
     "monotone_constraints values must be -1, 0, or +1"},
    {"feature_weight_nan", [](TrainParams& p) { p.feature_weights = {1.0f, kNaN}; },
     "feature_weights values must be finite and >= 0"},
    {"interaction_65_groups", [](TrainParams& p) { p.interaction_constraints.assign(65, {0}); },
     "interaction_constraints supports at most 64 groups (got 65)"},
    {"interaction_64_groups", [](TrainParams& p) { p.interaction_constraints.assign(64, {0}); }, nullptr},
    {"interaction_empty_group", [](TrainParams& p) { p.interaction_constraints = {{0, 1}, {}}; },
     "interaction_constraints group 1 is empty; groups must contain at least one feature index"},
    {"interaction_duplicate", [](TrainParams& p) { p.interaction_constraints = {{3, 4, 3}}; },
     "interaction_constraints group 0 contains duplicate feature index 3"},
    {"interaction_same_feature_in_two_groups", [](TrainParams& p) { p.interaction_constraints = {{1}, {1}}; },
     nullptr},
    // With leaf-wise growth the max_leaves rule still comes before the growth rule.
    {"max_leaves_one_leaf", [](TrainParams& p) { p.max_leaves = 1, p.tree_growth = TreeGrowth::Leaf; },
     "max_leaves must be >= 2 when set (a tree needs at least 2 leaves)"},
    {"leaf_growth_without_max_leaves", [](TrainParams& p) { p.tree_growth = TreeGrowth::Leaf; },
     "tree_growth='leaf' requires max_leaves to be set"},
    {"neutralization_kind_none", [](TrainParams& p) { p.neutralization_config = neutralization(NeutralizationKind::None); },
     "neutralization_config must be None when neutralization kind is None"},
    {"neutralization_lambda_nan",
     [](TrainParams& p) { p.neutralization_config = neutralization(NeutralizationKind::PreTarget, kNaN); },
     "factor_neutralization_lambda must be finite and >= 0"},
    {"factor_penalty_negative",
     [](TrainParams& p) { p.neutralization_config = neutralization(NeutralizationKind::SplitPenalty, 0.0f, -1.0f); },
     "factor_penalty must be finite and >= 0"},
    {"factor_penalty_pre_target",
     [](TrainParams& p) { p.neutralization_config = neutralization(NeutralizationKind::PreTarget, 0.0f, 0.5f); },
     "factor_penalty is only valid with neutralization='split_penalty'"},
    {"split_penalty_linear_leaf",
     [](TrainParams& p) {
       p.neutralization_config = neutralization(NeutralizationKind::SplitPenalty, 0.0f, 0.5f);
       p.leaf_model = LeafModel::Linear;
     },
     "neutralization='split_penalty' requires leaf_model='constant'"},
    {"dro_linear_leaf", [](TrainParams& p) { p.leaf_solver = LeafSolver::Dro, p.leaf_model = LeafModel::Linear; },
     "leaf_solver='dro' requires leaf_model='constant'"},
    {"dro_without_config", [](TrainParams& p) { p.leaf_solver = LeafSolver::Dro; },
     "leaf_solver='dro' requires dro_config"},
    {"dro_radius_inf", [](TrainParams& p) { p.leaf_solver = LeafSolver::Dro, p.dro_config = DroConfig{kInf}; },
     "dro_config.radius must be finite and >= 0"},
    {"dro_valid", [](TrainParams& p) { p.leaf_solver = LeafSolver::Dro, p.dro_config = DroConfig{0.05f}; }, nullptr},
    {"dro_config_with_standard", [](TrainParams& p) { p.dro_config = DroConfig{0.05f}; },
     "dro_config is only valid with leaf_solver='dro'"},
    {"morph_defaults", [](TrainParams& p) { p.morph_config = MorphConfig{}; }, nullptr},
    {"morph_rate_five", [](TrainParams& p) { p.morph_config = morph_with([](MorphConfig& m) { m.morph_rate = 5.0f; }); },
     "morph_config.morph_rate must be in [0, 1], got 5"},
    {"morph_pressure_nan",
     [](TrainParams& p) { p.morph_config = morph_with([](MorphConfig& m) { m.evolution_pressure = kNaN; }); },
     "morph_config.evolution_pressure must be >= 0, got NaN"},
    {"morph_info_weight",
     [](TrainParams& p) { p.morph_config = morph_with([](MorphConfig& m) { m.info_score_weight = 1.5f; }); },
     "morph_config.info_score_weight must be in [0, 1], got 1.5"},
    {"morph_depth_base_inf",
     [](TrainParams& p) { p.morph_config = morph_with([](MorphConfig& m) { m.depth_penalty_base = kInf; }); },
     "morph_config.depth_penalty_base must be in (0, 1], got inf"},
    {"morph_warmup_frac",
     [](TrainParams& p) {
       p.morph_config = morph_with([](MorphConfig& m) { m.lr_schedule = {LrScheduleKind::WarmupCosine, -0.25f}; });
     },
     "morph_config.lr_schedule.warmup_frac must be in [0, 1], got -0.25"},
    {"morph_warmup_frac_ignored_for_constant",
     [](TrainParams& p) {
       p.morph_config = morph_with([](MorphConfig& m) { m.lr_schedule = {LrScheduleKind::Constant, 7.0f}; });
     },
     nullptr},
    {"goss_exact_sum", [](TrainParams& p) { p.boosting_mode = GossBoosting{0.6f, 0.4f}; }, nullptr},
    {"goss_sum_too_large", [](TrainParams& p) { p.boosting_mode = GossBoosting{0.7f, 0.4f}; },
     "boosting_mode='goss' requires goss_top_rate + goss_other_rate <= 1.0 (got 0.7 + 0.4 = 1.1)"},
    {"goss_top_one", [](TrainParams& p) { p.boosting_mode = GossBoosting{1.0f, 0.1f}; },
     "boosting_mode='goss' requires goss_top_rate in (0, 1), got 1"},
    {"goss_other_nan", [](TrainParams& p) { p.boosting_mode = GossBoosting{0.2f, kNaN}; },
     "boosting_mode='goss' requires goss_other_rate in (0, 1), got NaN"},
    {"dart_drop_rate_zero", [](TrainParams& p) { p.boosting_mode = DartBoosting{0.0f, 1}; },
     "boosting_mode='dart' requires dart_drop_rate in (0, 1), got 0"},
    {"dart_max_drop_zero", [](TrainParams& p) { p.boosting_mode = DartBoosting{0.1f, 0}; },
     "boosting_mode='dart' requires dart_max_drop >= 1"},
    // Rule order: the first failing rule is the one reported.
    {"order_interactions_before_max_leaves", [](TrainParams& p) { p.interaction_constraints = {{}}, p.max_leaves = 1; },
     "interaction_constraints group 0 is empty; groups must contain at least one feature index"},
    {"order_neutralization_before_dro",
     [](TrainParams& p) {
       p.neutralization_config = neutralization(NeutralizationKind::PreTarget, 0.0f, 1.0f);
       p.dro_config = DroConfig{1.0f};
     },
     "factor_penalty is only valid with neutralization='split_penalty'"},
    {"order_morph_before_boosting",
     [](TrainParams& p) {
       p.morph_config = morph_with([](MorphConfig& m) { m.morph_rate = -1.0f; });
       p.boosting_mode = DartBoosting{0.5f, 0};
     },
     "morph_config.morph_rate must be in [0, 1], got -1"},
};

class ValidateTrainParams : public testing::TestWithParam<Case> {};

TEST_P(ValidateTrainParams, ReportsTheFirstFailingRule) {
  TrainParams params;
  GetParam().change(params);
  EXPECT_EQ(outcome(params), GetParam().message ? GetParam().message : "ok");
}

INSTANTIATE_TEST_SUITE_P(Rules, ValidateTrainParams, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune::core

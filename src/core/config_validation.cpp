// validate_train_params: the rules run in a fixed order and the first failure is the one
// reported, so callers (and their tests) can rely on exactly one message.
#include <cmath>
#include <string>
#include <type_traits>
#include <unordered_set>

#include "core/config.hpp"
#include "core/error.hpp"
#include "support/float_text.hpp"

namespace kestrune::core {
namespace {

// -0.0 passes (it compares equal to 0); NaN fails every comparison.
bool finite_non_negative(float v) { return std::isfinite(v) && v >= 0.0f; }
bool in_open_closed_unit(float v) { return v > 0.0f && v <= 1.0f; }
bool in_closed_unit(float v) { return v >= 0.0f && v <= 1.0f; }
bool in_open_unit(float v) { return v > 0.0f && v < 1.0f; }

void require(bool holds, const char* message) {
  if (!holds) throw CoreError::invalid_config(message);
}

void require(bool holds, const std::string& message) {
  if (!holds) throw CoreError::invalid_config(message);
}

std::string got(const char* prefix, float value) { return prefix + support::format_f32(value); }

void validate_interaction_constraints(const std::vector<std::vector<std::uint32_t>>& groups) {
  require(groups.size() <= 64,
          "interaction_constraints supports at most 64 groups (got " + std::to_string(groups.size()) + ")");
  for (std::size_t g = 0; g < groups.size(); ++g) {
    require(!groups[g].empty(), "interaction_constraints group " + std::to_string(g) +
                                    " is empty; groups must contain at least one feature index");
    std::unordered_set<std::uint32_t> seen;
    for (std::uint32_t feature : groups[g]) {
      require(seen.insert(feature).second, "interaction_constraints group " + std::to_string(g) +
                                               " contains duplicate feature index " + std::to_string(feature));
    }
  }
}

void validate_neutralization(const TrainParams& params) {
  if (!params.neutralization_config) return;
  const NeutralizationConfig& config = *params.neutralization_config;
  require(config.kind != NeutralizationKind::None,
          "neutralization_config must be None when neutralization kind is None");
  require(finite_non_negative(config.factor_neutralization_lambda),
          "factor_neutralization_lambda must be finite and >= 0");
  require(finite_non_negative(config.factor_penalty), "factor_penalty must be finite and >= 0");
  require(config.factor_penalty == 0.0f || config.kind == NeutralizationKind::SplitPenalty,
          "factor_penalty is only valid with neutralization='split_penalty'");
  if (config.kind == NeutralizationKind::SplitPenalty) {
    require(params.leaf_model == LeafModel::Constant, "neutralization='split_penalty' requires leaf_model='constant'");
  }
}

void validate_leaf_solver(const TrainParams& params) {
  if (params.leaf_solver == LeafSolver::Dro) {
    require(params.leaf_model == LeafModel::Constant, "leaf_solver='dro' requires leaf_model='constant'");
    require(params.dro_config.has_value(), "leaf_solver='dro' requires dro_config");
    require(finite_non_negative(params.dro_config->radius), "dro_config.radius must be finite and >= 0");
  } else {
    require(!params.dro_config.has_value(), "dro_config is only valid with leaf_solver='dro'");
  }
}

void validate_morph(const std::optional<MorphConfig>& morph) {
  if (!morph) return;
  require(in_closed_unit(morph->morph_rate),
          got("morph_config.morph_rate must be in [0, 1], got ", morph->morph_rate));
  require(finite_non_negative(morph->evolution_pressure),
          got("morph_config.evolution_pressure must be >= 0, got ", morph->evolution_pressure));
  require(in_closed_unit(morph->info_score_weight),
          got("morph_config.info_score_weight must be in [0, 1], got ", morph->info_score_weight));
  require(in_open_closed_unit(morph->depth_penalty_base),
          got("morph_config.depth_penalty_base must be in (0, 1], got ", morph->depth_penalty_base));
  if (morph->lr_schedule.kind == LrScheduleKind::WarmupCosine) {
    require(in_closed_unit(morph->lr_schedule.warmup_frac),
            got("morph_config.lr_schedule.warmup_frac must be in [0, 1], got ", morph->lr_schedule.warmup_frac));
  }
}

void validate_boosting_mode(const BoostingMode& mode) {
  if (const auto* goss = std::get_if<GossBoosting>(&mode)) {
    const float top = goss->goss_top_rate;
    const float other = goss->goss_other_rate;
    require(in_open_unit(top), got("boosting_mode='goss' requires goss_top_rate in (0, 1), got ", top));
    require(in_open_unit(other), got("boosting_mode='goss' requires goss_other_rate in (0, 1), got ", other));
    const float sum = top + other;
    // The bound is the float32 just above 1.0, so that rates like 0.6 + 0.4 pass.
    require(sum <= 1.0000001f, "boosting_mode='goss' requires goss_top_rate + goss_other_rate <= 1.0 (got " +
                                   support::format_f32(top) + " + " + support::format_f32(other) + " = " +
                                   support::format_f32(sum) + ")");
  } else if (const auto* dart = std::get_if<DartBoosting>(&mode)) {
    require(in_open_unit(dart->dart_drop_rate),
            got("boosting_mode='dart' requires dart_drop_rate in (0, 1), got ", dart->dart_drop_rate));
    require(dart->dart_max_drop >= 1, "boosting_mode='dart' requires dart_max_drop >= 1");
  }
}

}  // namespace

void validate_train_params(const TrainParams& params) {
  require(in_open_closed_unit(params.learning_rate), "learning_rate must be in (0.0, 1.0]");
  require(params.max_depth > 0, "max_depth must be greater than 0");
  require(in_open_closed_unit(params.row_subsample), "row_subsample must be in (0.0, 1.0]");
  require(in_open_closed_unit(params.col_subsample), "col_subsample must be in (0.0, 1.0]");
  require(!params.early_stopping_rounds || *params.early_stopping_rounds > 0,
          "early_stopping_rounds must be greater than 0 when set");
  require(finite_non_negative(params.min_validation_improvement), "min_validation_improvement must be finite and >= 0");
  require(params.min_data_in_leaf > 0, "min_data_in_leaf must be greater than 0");
  require(finite_non_negative(params.lambda_l1), "lambda_l1 must be finite and >= 0");
  require(finite_non_negative(params.lambda_l2), "lambda_l2 must be finite and >= 0");
  require(finite_non_negative(params.min_child_hessian), "min_child_hessian must be finite and >= 0");
  for (std::int8_t constraint : params.monotone_constraints) {
    require(constraint >= -1 && constraint <= 1, "monotone_constraints values must be -1, 0, or +1");
  }
  for (float weight : params.feature_weights) {
    require(finite_non_negative(weight), "feature_weights values must be finite and >= 0");
  }
  validate_interaction_constraints(params.interaction_constraints);
  require(!params.max_leaves || *params.max_leaves >= 2,
          "max_leaves must be >= 2 when set (a tree needs at least 2 leaves)");
  require(params.tree_growth != TreeGrowth::Leaf || params.max_leaves.has_value(),
          "tree_growth='leaf' requires max_leaves to be set");
  validate_neutralization(params);
  validate_leaf_solver(params);
  validate_morph(params.morph_config);
  validate_boosting_mode(params.boosting_mode);
}

}  // namespace kestrune::core

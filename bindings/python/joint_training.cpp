#include "joint_training.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <set>
#include <utility>

#include "core/config.hpp"
#include "engine/error.hpp"
#include "engine/joint/error.hpp"
#include "engine/joint/fit.hpp"
#include "engine/joint/objective_text.hpp"
#include "engine/joint/validate.hpp"
#include "engine/trained_model.hpp"
#include "errors.hpp"
#include "params.hpp"
#include "quantization/matrix_preparation.hpp"
#include "support/casts.hpp"
#include "support/debug_text.hpp"
#include "support/float_text.hpp"

namespace kestrune::python {
namespace {

using engine::joint::JointError;
using engine::joint::JointObjective;
using engine::joint::JointObjectiveKind;

[[noreturn]] void value_error(std::string message) { throw PythonError::value_error(std::move(message)); }

void check_output_counts(const JointRankerInputs& in) {
  if (in.targets_per_output.size() != in.n_outputs) {
    value_error("targets_per_output length " + std::to_string(in.targets_per_output.size()) + " != n_outputs " +
                std::to_string(in.n_outputs));
  }
  if (in.per_output_objective_names.size() != in.n_outputs) {
    value_error("per_output_objective_names length " + std::to_string(in.per_output_objective_names.size()) +
                " != n_outputs " + std::to_string(in.n_outputs));
  }
  if (in.n_outputs == 0) value_error("n_outputs must be > 0");
  for (std::size_t i = 0; i < in.n_outputs; ++i) {
    if (in.targets_per_output[i].size() != in.row_count) {
      value_error("targets[" + std::to_string(i) + "] length " + std::to_string(in.targets_per_output[i].size()) +
                  " != row_count " + std::to_string(in.row_count));
    }
  }
}

std::vector<JointObjective> resolve_objectives(const JointRankerInputs& in) {
  std::vector<JointObjective> objectives;
  for (const std::string& name : in.per_output_objective_names) {
    if (name == "quantile") {
      objectives.push_back(JointObjective::quantile(in.quantile_alpha.value_or(0.5f)));
    } else if (name == "tweedie") {
      objectives.push_back(JointObjective::tweedie(in.tweedie_variance_power.value_or(1.5f)));
    } else if (name == "poisson") {
      objectives.push_back({JointObjectiveKind::Poisson, 0.0f});
    } else if (name == "gamma") {
      objectives.push_back({JointObjectiveKind::Gamma, 0.0f});
    } else {
      try {
        objectives.push_back(JointObjective::parse(name));
      } catch (const JointError& error) {
        value_error("invalid objective " + support::debug_quote(name) + ": " + error.what());
      }
    }
  }
  return objectives;
}

// Replaces the quantized codes of each accepted native categorical column by its dense category
// ids, and lists the accepted (feature, category count) pairs in order.
std::vector<std::pair<std::size_t, std::size_t>> apply_native_categorical_ids(const JointRankerInputs& in,
                                                                              core::BinnedMatrix& binned) {
  std::vector<std::pair<std::size_t, std::size_t>> accepted;
  if (in.max_cat_threshold == 0 || in.categorical_feature_indices.empty()) return accepted;
  constexpr double kEpsilon = 1.1920929e-07;
  for (const std::size_t f : in.categorical_feature_indices) {
    if (f >= in.feature_count) {
      value_error("categorical_feature_indices contains " + std::to_string(f) + " which exceeds feature_count " +
                  std::to_string(in.feature_count));
    }
    std::set<std::int64_t> ids;
    for (std::size_t r = 0; r < in.row_count; ++r) {
      const float value = in.x_values.at(r * in.feature_count + f);
      if (!std::isfinite(value)) continue;
      const std::int64_t id = support::saturating_cast<std::int64_t>(value);
      if (std::fabs(static_cast<double>(value) - static_cast<double>(id)) > kEpsilon) {
        value_error("Native categorical feature " + std::to_string(f) + " contains non-integer value " +
                    support::format_f32(value) +
                    "; joint mode requires dense integer category IDs in {0, 1, ..., K-1}. Pre-encode the column "
                    "(e.g. sklearn LabelEncoder) before fitting.");
      }
      ids.insert(id);
    }
    const std::size_t n = ids.size();
    if (n > in.max_cat_threshold || n < 2 || n > 64) continue;
    if (*ids.begin() != 0 || *ids.rbegin() != static_cast<std::int64_t>(n) - 1) {
      value_error("Native categorical feature " + std::to_string(f) + " has " + std::to_string(n) +
                  " unique values ranging from " + std::to_string(*ids.begin()) + " to " +
                  std::to_string(*ids.rbegin()) +
                  "; joint mode requires dense zero-based integer IDs in {0, 1, ..., K-1}. Pre-encode the column "
                  "(e.g. sklearn LabelEncoder) before fitting. Non-dense category IDs are tracked for v0.10.4 "
                  "alongside `categorical_state` plumbing on the joint predictor.");
    }
    for (std::size_t r = 0; r < in.row_count; ++r) {
      const float value = in.x_values[r * in.feature_count + f];
      const std::uint16_t bin = std::isfinite(value) ? static_cast<std::uint16_t>(support::saturating_cast<std::int64_t>(value))
                                                     : binned.missing_bin;
      binned.set_bin(r, f, bin);
    }
    if (binned.max_bin < n - 1) binned.max_bin = static_cast<std::uint16_t>(n - 1);
    accepted.emplace_back(f, n);
  }
  return accepted;
}

const char* kind_name(core::NeutralizationKind kind) {
  switch (kind) {
    case core::NeutralizationKind::PreTarget: return "PreTarget";
    case core::NeutralizationKind::PerRoundGradient: return "PerRoundGradient";
    case core::NeutralizationKind::SplitPenalty: return "SplitPenalty";
    case core::NeutralizationKind::None: break;
  }
  return "None";
}

// A prior model trained in one gradient space cannot be resumed in another.
void check_neutralization_contract(const std::optional<core::NeutralizationMetadata>& prior,
                                   const std::optional<core::NeutralizationConfig>& current) {
  const bool current_on =
      current && !(current->kind == core::NeutralizationKind::SplitPenalty && current->factor_penalty == 0.0f);
  if (!prior && !current_on) return;
  if (!prior) {
    value_error(std::string("warm-start neutralization contract violated: prior fit was unneutralized but current fit "
                            "requests neutralization (kind=") +
                kind_name(current->kind) +
                "). Resuming raw-gradient trees in a residual space would silently mis-train. Either fit the prior "
                "model with the same neutralization, or fit fresh without warm_start=True.");
  }
  if (!current_on) {
    value_error(std::string("warm-start neutralization contract violated: prior fit used neutralization (kind=") +
                kind_name(prior->kind) +
                ") but current fit has neutralization='none'. Resuming an in-residual model in raw gradient space "
                "would silently mis-train. Pass the same neutralization config to the resume fit, or fit fresh "
                "without warm_start=True.");
  }
  if (prior->kind != current->kind || prior->ridge_lambda != current->factor_neutralization_lambda ||
      prior->split_penalty != current->factor_penalty) {
    value_error(std::string("warm-start neutralization contract violated: prior fit used neutralization (kind=") +
                kind_name(prior->kind) + ", ridge_lambda=" + support::format_f32(prior->ridge_lambda) +
                ", split_penalty=" + support::format_f32(prior->split_penalty) + ") but current fit uses (kind=" +
                kind_name(current->kind) + ", ridge_lambda=" + support::format_f32(current->factor_neutralization_lambda) +
                ", split_penalty=" + support::format_f32(current->factor_penalty) +
                "). The prior trees were trained in a different residual / split-penalty space; resuming under a "
                "different config would produce inconsistent gradients. Use the same neutralization parameters for "
                "both fits, or fit fresh without warm_start=True.");
  }
}

}  // namespace

JointRankerResult train_joint_ranker(JointRankerInputs in) {
  check_output_counts(in);
  const std::vector<JointObjective> objectives = resolve_objectives(in);
  const bool needs_groups = std::any_of(objectives.begin(), objectives.end(),
                                        [](const JointObjective& o) { return o.requires_group_ids(); });
  if (needs_groups && !in.group_id) value_error("at least one ranking objective requires group_id");

  quantization::PreparedTrainingMatrices prepared = quantization::prepare_training_matrices_from_dense_values(
      in.x_values, in.row_count, in.feature_count, in.targets_per_output[0], std::nullopt, std::nullopt, in.group_id,
      quantization::ContinuousBinningStrategy::Linear, in.max_bin, /*keep_dense_values=*/false);

  core::TrainParams params;
  if (in.tree_growth == "level") {
    params.tree_growth = core::TreeGrowth::Level;
  } else if (in.tree_growth == "leaf") {
    params.tree_growth = core::TreeGrowth::Leaf;
  } else {
    value_error("unknown tree_growth " + support::debug_quote(in.tree_growth) + "; expected 'level' or 'leaf'");
  }
  std::optional<std::string_view> normalize_type, sample_type;
  if (in.dart_normalize_type) normalize_type = *in.dart_normalize_type;
  if (in.dart_sample_type) sample_type = *in.dart_sample_type;
  params.boosting_mode = parse_boosting_mode(in.boosting_mode, in.goss_top_rate, in.goss_other_rate, in.dart_drop_rate,
                                             in.dart_max_drop, normalize_type, sample_type);
  if (in.morph_config) params.morph_config = parse_morph_config_from_pydict(in.morph_config->get());
  params.leaf_solver = parse_leaf_solver(in.leaf_solver);
  params.dro_config = parse_dro_config(params.leaf_solver, in.dro_radius, in.dro_metric);
  std::optional<core::FactorExposureMatrix> exposures = parse_factor_exposure_matrix(
      std::move(in.factor_exposure_values), in.factor_exposure_row_count, in.factor_exposure_factor_count);
  params.neutralization_config =
      parse_neutralization_config(in.neutralization, in.factor_neutralization_lambda, in.factor_penalty);
  if (!params.neutralization_config && exposures) {
    value_error("factor_exposures were provided but neutralization='none'");
  }
  if (params.neutralization_config) {
    if (!exposures) value_error("factor_exposures are required when neutralization is active");
    if (exposures->row_count != in.row_count) {
      value_error("factor_exposures row_count " + std::to_string(exposures->row_count) +
                  " does not match X row_count " + std::to_string(in.row_count));
    }
  }

  params.learning_rate = in.learning_rate;
  params.row_subsample = in.row_subsample;
  params.col_subsample = in.col_subsample;
  params.max_depth = in.max_depth;
  params.min_data_in_leaf = in.min_data_in_leaf;
  params.lambda_l2 = in.lambda_l2;
  params.min_split_gain = in.min_split_gain;
  params.seed = in.seed;
  params.max_leaves = in.max_leaves;
  params.interaction_constraints = std::move(in.interaction_constraints);
  params.deterministic = true;
  params.leaf_model = core::LeafModel::Constant;
  params.tweedie_variance_power = in.tweedie_variance_power.value_or(1.5f);
  params.quantile_alpha = in.quantile_alpha.value_or(0.5f);
  params.early_stopping_rounds.reset();
  params.min_validation_improvement = 0.0f;
  params.lambda_l1 = 0.0f;
  params.min_child_hessian = 0.0f;
  try {
    engine::joint::validate_joint_params(params, objectives);
  } catch (const engine::EngineError& error) {
    throw engine_error_to_pyerr(error);
  }

  const std::vector<std::pair<std::size_t, std::size_t>> categorical =
      apply_native_categorical_ids(in, prepared.binned);

  std::optional<engine::joint::JointWarmStartState> warm;
  if (in.init_artifact_bytes) {
    if (!in.init_baselines) value_error("init_baselines is required when init_artifact_bytes is provided");
    // A non-finite starting score would only surface as non-finite gradients in the first round.
    const std::vector<float>& baselines = *in.init_baselines;
    const auto bad = std::find_if(baselines.begin(), baselines.end(), [](float b) { return !std::isfinite(b); });
    if (bad != baselines.end()) {
      value_error("init_baselines[" + std::to_string(bad - baselines.begin()) + "] must be finite, got " +
                  support::format_f32(*bad));
    }
    engine::TrainedModel prior;
    try {
      prior = engine::with_core_errors([&] { return engine::TrainedModel::from_artifact_bytes(*in.init_artifact_bytes); });
    } catch (const engine::EngineError& error) {
      value_error("init_artifact_bytes decode: " + error.debug());
    }
    check_neutralization_contract(prior.neutralization_metadata, params.neutralization_config);
    warm.emplace();
    // Without a count the prior's own trees tell how many rounds it ran.
    warm->initial_rounds_completed = in.init_rounds_completed.value_or(prior.rounds_completed());
    warm->baselines = std::move(*in.init_baselines);
    warm->output_count = engine::joint::joint_output_count_of(prior.objective);
    warm->stumps = std::move(prior.stumps);
    if (prior.morph_metadata && !prior.morph_metadata->ema_stats.empty()) {
      warm->initial_ema_stats = prior.morph_metadata->ema_stats;
    }
  }

  engine::joint::JointTrainingSummary summary;
  try {
    summary = engine::joint::fit_joint_multi_output_with_warm_start(engine::joint::JointFitRequest{
        params, in.feature_count, prepared.binned, in.targets_per_output, in.group_id, objectives, in.n_estimators,
        categorical, std::move(warm), exposures ? &*exposures : nullptr});
  } catch (const JointError& error) {
    value_error(error.what());
  }
  JointRankerResult result;
  result.artifact = summary.model.to_artifact_bytes();
  result.baselines = std::move(summary.baselines);
  result.feature_count = in.feature_count;
  result.rounds = summary.rounds_completed;
  return result;
}

}  // namespace kestrune::python

#include "training_assembly.hpp"

#include <algorithm>
#include <utility>

#include "errors.hpp"
#include "params.hpp"
#include "training_pipeline.hpp"

namespace kestrune::python {
namespace {

// "rounds must be greater than 0"; larger requests than the cap are reduced without a message.
std::size_t effective_rounds(std::size_t rounds) {
  if (rounds == 0) throw PythonError::value_error("rounds must be greater than 0");
  return std::min(rounds, kMaxTrainingRounds);
}

std::optional<core::MorphConfig> take_morph_config(TrainingOptions& options) {
  if (!options.morph_config) return std::nullopt;
  // The dict is needed only for the parse: release it whatever the outcome.
  const Ref dict = std::move(*options.morph_config);
  options.morph_config.reset();
  return parse_morph_config_from_pydict(dict.get());
}

struct LeafSettings {
  core::LeafModel model = core::LeafModel::Constant;
  core::LeafSolver solver = core::LeafSolver::Standard;
  std::optional<core::DroConfig> dro_config;
  std::optional<core::NeutralizationConfig> neutralization;
};

// leaf_model, leaf_solver, the DRO settings, neutralization, then the rule joining the two.
LeafSettings parse_leaf_settings(const TrainingOptions& options) {
  LeafSettings leaf;
  leaf.model = parse_leaf_model(options.leaf_model);
  leaf.solver = parse_leaf_solver(options.leaf_solver);
  leaf.dro_config = parse_dro_config(leaf.solver, options.dro_radius, options.dro_metric);
  leaf.neutralization = parse_neutralization_config(options.neutralization, options.factor_neutralization_lambda,
                                                    options.factor_penalty);
  validate_neutralization_leaf_model(leaf.neutralization, leaf.model);
  return leaf;
}

std::optional<core::FactorExposureMatrix> take_factor_exposures(TrainingOptions& options) {
  std::optional<std::vector<float>> values = std::move(options.factor_exposure_values);
  options.factor_exposure_values.reset();
  return parse_factor_exposure_matrix(std::move(values), options.factor_exposure_row_count,
                                      options.factor_exposure_factor_count);
}

core::BoostingMode parse_boosting(const TrainingOptions& options) {
  return parse_boosting_mode(options.boosting_mode, options.goss_top_rate, options.goss_other_rate,
                             options.dart_drop_rate, options.dart_max_drop, options.dart_normalize_type,
                             options.dart_sample_type);
}

core::TrainParams fill_params(TrainingOptions& options, core::TreeGrowth tree_growth,
                              std::optional<core::MorphConfig> morph_config, LeafSettings leaf,
                              core::BoostingMode boosting_mode) {
  core::TrainParams params;
  params.learning_rate = options.learning_rate;
  params.max_depth = options.max_depth;
  params.row_subsample = options.row_subsample;
  params.col_subsample = options.col_subsample;
  params.min_validation_improvement = options.min_validation_improvement;
  params.seed = options.seed;
  params.deterministic = options.deterministic;
  params.early_stopping_rounds = options.early_stopping_rounds;
  params.min_data_in_leaf = options.min_data_in_leaf;
  params.lambda_l1 = options.lambda_l1;
  params.lambda_l2 = options.lambda_l2;
  params.min_child_hessian = options.min_child_hessian;
  params.min_split_gain = options.min_split_gain;
  params.monotone_constraints = std::move(options.monotone_constraints);
  params.feature_weights = std::move(options.feature_weights);
  params.interaction_constraints = std::move(options.interaction_constraints);
  params.max_leaves = options.max_leaves;
  params.tree_growth = tree_growth;
  params.leaf_model = leaf.model;
  params.leaf_solver = leaf.solver;
  params.dro_config = leaf.dro_config;
  params.neutralization_config = leaf.neutralization;
  params.morph_config = morph_config;
  params.boosting_mode = std::move(boosting_mode);
  params.tweedie_variance_power = options.tweedie_variance_power.value_or(1.5f);
  params.quantile_alpha = options.quantile_alpha.value_or(0.5f);
  return params;
}

}  // namespace

AssembledTraining assemble_training(TrainingOptions& options, std::size_t training_row_count) {
  AssembledTraining assembled;
  assembled.rounds = effective_rounds(options.rounds);
  assembled.policy_auto = parse_training_policy(options.training_policy) == TrainingPolicy::Auto;
  assembled.strategy = quantization::parse_continuous_binning_strategy(options.continuous_binning_strategy);
  const core::TreeGrowth tree_growth = parse_tree_growth(options.tree_growth);
  std::optional<core::MorphConfig> morph_config = take_morph_config(options);
  LeafSettings leaf = parse_leaf_settings(options);
  assembled.factor_exposures = take_factor_exposures(options);
  core::BoostingMode boosting_mode = parse_boosting(options);
  assembled.params =
      fill_params(options, tree_growth, std::move(morph_config), std::move(leaf), std::move(boosting_mode));
  assembled.categorical = resolve_categorical_specs_from_params(std::move(options.categorical), training_row_count);
  return assembled;
}

AssembledTraining assemble_artifact_training(TrainingOptions& options, std::size_t training_row_count) {
  AssembledTraining assembled;
  std::optional<core::MorphConfig> morph_config = take_morph_config(options);
  LeafSettings leaf = parse_leaf_settings(options);
  assembled.factor_exposures = take_factor_exposures(options);
  assembled.rounds = effective_rounds(options.rounds);
  assembled.policy_auto = parse_training_policy(options.training_policy) == TrainingPolicy::Auto;
  assembled.strategy = quantization::parse_continuous_binning_strategy(options.continuous_binning_strategy);
  core::BoostingMode boosting_mode = parse_boosting(options);
  assembled.params = fill_params(options, core::TreeGrowth::Level, std::move(morph_config), std::move(leaf),
                                 std::move(boosting_mode));
  // These functions describe at most one categorical column and take no validation rows.
  CategoricalArguments& categorical = options.categorical;
  std::optional<CategoricalTargetEncodingSpec> spec =
      resolve_categorical_spec(categorical.feature_index, std::move(categorical.feature_values),
                               categorical.min_samples_leaf, categorical.time_aware, training_row_count,
                               categorical.smoothing);
  if (spec) assembled.categorical.specs.push_back(std::move(*spec));
  return assembled;
}

TrainingResultRecord run_training_pipeline(const TrainingFeatures& features, TrainingOptions& options,
                                           AssembledTraining assembled) {
  TrainingPipelineInputs inputs;
  inputs.values = features.values;
  inputs.row_count = features.row_count;
  inputs.feature_count = features.feature_count;
  inputs.targets = features.targets;
  inputs.sample_weights = std::move(options.sample_weights);
  inputs.group_id = std::move(options.group_id);
  inputs.factor_exposures = std::move(assembled.factor_exposures);
  inputs.validation_values = features.validation_values;
  inputs.validation_row_count = features.validation_row_count;
  inputs.validation_targets = features.validation_targets;
  inputs.validation_sample_weights = std::move(options.validation_sample_weights);
  inputs.validation_group_id = std::move(options.validation_group_id);
  inputs.params = std::move(assembled.params);
  inputs.rounds = assembled.rounds;
  inputs.time_index = std::move(options.time_index);
  inputs.validation_time_index = std::move(options.validation_time_index);
  inputs.categorical_specs = std::move(assembled.categorical.specs);
  inputs.validation_categorical_values = std::move(assembled.categorical.validation_values);
  inputs.policy_auto = assembled.policy_auto;
  inputs.store_node_stats = options.store_node_stats;
  inputs.continuous_binning_strategy = assembled.strategy;
  inputs.continuous_binning_max_bins = options.continuous_binning_max_bins;
  inputs.objective = options.objective;
  if (options.init_artifact_bytes) {
    inputs.init_artifact_bytes = std::span<const std::uint8_t>(*options.init_artifact_bytes);
  }
  inputs.num_classes = options.num_classes;
  inputs.custom_objective_fn = std::move(options.custom_objective_fn);
  inputs.custom_loss_fn = std::move(options.custom_loss_fn);
  inputs.custom_metric_fn = std::move(options.custom_metric_fn);
  inputs.max_cat_threshold = options.max_cat_threshold;
  return train_regression_artifact_with_summary_dense_impl(std::move(inputs));
}

TrainingResultRecord train_dense_with_summary(const DenseTrainingData& data, TrainingOptions& options) {
  AssembledTraining assembled = assemble_training(options, data.row_count);
  TrainingFeatures features{data.values.span(), data.row_count, data.feature_count, data.targets.span(),
                            std::nullopt, data.validation_row_count, std::nullopt};
  if (data.validation_values) features.validation_values = data.validation_values->span();
  if (data.validation_targets) features.validation_targets = data.validation_targets->span();
  return run_training_pipeline(features, options, std::move(assembled));
}

}  // namespace kestrune::python

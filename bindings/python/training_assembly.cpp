#include "training_assembly.hpp"

#include <algorithm>
#include <utility>

#include "errors.hpp"
#include "params.hpp"

namespace kestrune::python {

AssembledTraining assemble_training(TrainingOptions& options, std::size_t training_row_count) {
  if (options.rounds == 0) throw PythonError::value_error("rounds must be greater than 0");
  AssembledTraining assembled;
  assembled.rounds = std::min(options.rounds, kMaxTrainingRounds);
  assembled.policy_auto = parse_training_policy(options.training_policy) == TrainingPolicy::Auto;
  assembled.strategy = quantization::parse_continuous_binning_strategy(options.continuous_binning_strategy);
  const core::TreeGrowth tree_growth = parse_tree_growth(options.tree_growth);

  std::optional<core::MorphConfig> morph_config;
  if (options.morph_config) {
    // The dict is needed only for the parse: release it whatever the outcome.
    const Ref dict = std::move(*options.morph_config);
    options.morph_config.reset();
    morph_config = parse_morph_config_from_pydict(dict.get());
  }
  const core::LeafModel leaf_model = parse_leaf_model(options.leaf_model);
  const core::LeafSolver leaf_solver = parse_leaf_solver(options.leaf_solver);
  std::optional<core::DroConfig> dro_config = parse_dro_config(leaf_solver, options.dro_radius, options.dro_metric);
  std::optional<core::NeutralizationConfig> neutralization = parse_neutralization_config(
      options.neutralization, options.factor_neutralization_lambda, options.factor_penalty);
  validate_neutralization_leaf_model(neutralization, leaf_model);
  assembled.factor_exposures =
      parse_factor_exposure_matrix(std::move(options.factor_exposure_values), options.factor_exposure_row_count,
                                   options.factor_exposure_factor_count);
  options.factor_exposure_values.reset();
  core::BoostingMode boosting_mode =
      parse_boosting_mode(options.boosting_mode, options.goss_top_rate, options.goss_other_rate,
                          options.dart_drop_rate, options.dart_max_drop, options.dart_normalize_type,
                          options.dart_sample_type);

  core::TrainParams& params = assembled.params;
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
  params.leaf_model = leaf_model;
  params.leaf_solver = leaf_solver;
  params.dro_config = dro_config;
  params.neutralization_config = neutralization;
  params.morph_config = morph_config;
  params.boosting_mode = std::move(boosting_mode);
  params.tweedie_variance_power = options.tweedie_variance_power.value_or(1.5f);
  params.quantile_alpha = options.quantile_alpha.value_or(0.5f);

  assembled.categorical = resolve_categorical_specs_from_params(std::move(options.categorical), training_row_count);
  return assembled;
}

}  // namespace kestrune::python

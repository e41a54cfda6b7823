// train_regression_artifact_with_summary(rows, targets, ...): training from a list of feature
// rows, returning a NativeTrainingResult (artifact bytes, summary, binning metadata and native
// category mappings).
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "conversions.hpp"
#include "errors.hpp"
#include "registry.hpp"
#include "result_classes.hpp"
#include "training_assembly.hpp"
#include "training_inputs.hpp"
#include "training_pipeline.hpp"

namespace kestrune::python {
namespace {

constexpr const char* kDoc =
    "train_regression_artifact_with_summary(rows, targets, learning_rate, max_depth, row_subsample, "
    "col_subsample, min_validation_improvement, seed, deterministic, rounds=..., early_stopping_rounds=None, "
    "min_data_in_leaf=1, lambda_l1=0.0, lambda_l2=0.0, min_child_hessian=0.0, sample_weights=None, "
    "group_id=None, min_split_gain=0.0, validation_rows=None, validation_targets=None, "
    "validation_sample_weights=None, validation_group_id=None, validation_time_index=None, "
    "categorical_feature_index=None, categorical_feature_values=None, "
    "validation_categorical_feature_values=None, training_policy=\"auto\", store_node_stats=False, "
    "categorical_smoothing=20.0, categorical_min_samples_leaf=1, categorical_time_aware=False, "
    "time_index=None, continuous_binning_strategy=\"linear\", continuous_binning_max_bins=255, "
    "objective=\"squared_error\", monotone_constraints=..., feature_weights=..., "
    "interaction_constraints=..., max_leaves=None, tree_growth=\"level\", "
    "categorical_feature_indices=None, categorical_feature_values_list=None, "
    "validation_categorical_feature_values_list=None, init_artifact_bytes=None, num_classes=None, "
    "custom_objective_fn=None, custom_loss_fn=None, custom_metric_fn=None, max_cat_threshold=0, "
    "morph_config=None, leaf_model=\"constant\", leaf_solver=\"standard\", dro_radius=0.05, "
    "dro_metric=\"wasserstein\", neutralization=\"none\", factor_neutralization_lambda=1e-6, "
    "factor_penalty=0.0, factor_exposure_values=None, factor_exposure_row_count=None, "
    "factor_exposure_factor_count=None, boosting_mode=\"standard\", goss_top_rate=None, goss_other_rate=None, "
    "dart_drop_rate=None, dart_max_drop=None, dart_normalize_type=None, dart_sample_type=None, "
    "tweedie_variance_power=None, quantile_alpha=None)\n--\n\n";

const auto to_u32_list = list_of(to_u32);
const auto to_i64_list = list_of(to_i64);
const auto to_string_list = list_of(to_string);

struct RowArguments {
  std::vector<std::vector<float>> rows;
  std::vector<float> targets;
  std::optional<std::vector<std::vector<float>>> validation_rows;
  TrainingOptions options;
};

// Converts the 69 parameters strictly in signature order; the first failure ends the call.
RowArguments convert_arguments(Arguments& args) {
  RowArguments converted;
  TrainingOptions& o = converted.options;
  CategoricalArguments& categorical = o.categorical;
  converted.rows = args.required("rows", to_f32_rows);
  converted.targets = args.required("targets", to_f32_list);
  o.learning_rate = args.required("learning_rate", to_f32);
  o.max_depth = args.required("max_depth", to_u16);
  o.row_subsample = args.required("row_subsample", to_f32);
  o.col_subsample = args.required("col_subsample", to_f32);
  o.min_validation_improvement = args.required("min_validation_improvement", to_f32);
  o.seed = args.required("seed", to_u64);
  o.deterministic = args.required("deterministic", to_bool);
  o.rounds = args.value_or("rounds", to_size, std::size_t{6});
  o.early_stopping_rounds = args.optional("early_stopping_rounds", to_u16);
  o.min_data_in_leaf = args.value_or("min_data_in_leaf", to_u32, std::uint32_t{1});
  o.lambda_l1 = args.value_or("lambda_l1", to_f32, 0.0f);
  o.lambda_l2 = args.value_or("lambda_l2", to_f32, 0.0f);
  o.min_child_hessian = args.value_or("min_child_hessian", to_f32, 0.0f);
  o.sample_weights = args.optional("sample_weights", to_f32_list);
  o.group_id = args.optional("group_id", to_u32_list);
  o.min_split_gain = args.value_or("min_split_gain", to_f32, 0.0f);
  converted.validation_rows = args.optional("validation_rows", to_f32_rows);
  o.validation_targets = args.optional("validation_targets", to_f32_list);
  o.validation_sample_weights = args.optional("validation_sample_weights", to_f32_list);
  o.validation_group_id = args.optional("validation_group_id", to_u32_list);
  o.validation_time_index = args.optional("validation_time_index", to_i64_list);
  categorical.feature_index = args.optional("categorical_feature_index", to_size);
  categorical.feature_values = args.optional("categorical_feature_values", to_string_list);
  categorical.validation_feature_values = args.optional("validation_categorical_feature_values", to_string_list);
  o.training_policy = args.value_or("training_policy", to_text, std::string_view("auto"));
  o.store_node_stats = args.value_or("store_node_stats", to_bool, false);
  categorical.smoothing = args.value_or("categorical_smoothing", to_f64, 20.0);
  categorical.min_samples_leaf = args.value_or("categorical_min_samples_leaf", to_u32, std::uint32_t{1});
  categorical.time_aware = args.value_or("categorical_time_aware", to_bool, false);
  o.time_index = args.optional("time_index", to_i64_list);
  o.continuous_binning_strategy = args.value_or("continuous_binning_strategy", to_text, std::string_view("linear"));
  o.continuous_binning_max_bins = args.value_or("continuous_binning_max_bins", to_size, std::size_t{255});
  o.objective = args.value_or("objective", to_text, std::string_view("squared_error"));
  o.monotone_constraints = args.value_or("monotone_constraints", list_of(to_i8), std::vector<std::int8_t>{});
  o.feature_weights = args.value_or("feature_weights", to_f32_list, std::vector<float>{});
  o.interaction_constraints = args.value_or("interaction_constraints", list_of(to_u32_list),
                                            std::vector<std::vector<std::uint32_t>>{});
  o.max_leaves = args.optional("max_leaves", to_size);
  o.tree_growth = args.value_or("tree_growth", to_text, std::string_view("level"));
  categorical.feature_indices = args.optional("categorical_feature_indices", list_of(to_size));
  categorical.feature_values_list = args.optional("categorical_feature_values_list", list_of(to_string_list));
  categorical.validation_feature_values_list =
      args.optional("validation_categorical_feature_values_list", list_of(to_string_list));
  o.init_artifact_bytes = args.optional("init_artifact_bytes", to_byte_string);
  o.num_classes = args.optional("num_classes", to_size);
  o.custom_objective_fn = args.optional("custom_objective_fn", to_object);
  o.custom_loss_fn = args.optional("custom_loss_fn", to_object);
  o.custom_metric_fn = args.optional("custom_metric_fn", to_object);
  o.max_cat_threshold = args.value_or("max_cat_threshold", to_size, std::size_t{0});
  o.morph_config = args.optional("morph_config", to_dict);
  o.leaf_model = args.value_or("leaf_model", to_text, std::string_view("constant"));
  o.leaf_solver = args.value_or("leaf_solver", to_text, std::string_view("standard"));
  o.dro_radius = args.value_or("dro_radius", to_f32, 0.05f);
  o.dro_metric = args.value_or("dro_metric", to_text, std::string_view("wasserstein"));
  o.neutralization = args.value_or("neutralization", to_text, std::string_view("none"));
  o.factor_neutralization_lambda = args.value_or("factor_neutralization_lambda", to_f32, 1e-6f);
  o.factor_penalty = args.value_or("factor_penalty", to_f32, 0.0f);
  o.factor_exposure_values = args.optional("factor_exposure_values", to_f32_list);
  o.factor_exposure_row_count = args.optional("factor_exposure_row_count", to_size);
  o.factor_exposure_factor_count = args.optional("factor_exposure_factor_count", to_size);
  o.boosting_mode = args.value_or("boosting_mode", to_text, std::string_view("standard"));
  o.goss_top_rate = args.optional("goss_top_rate", to_f32);
  o.goss_other_rate = args.optional("goss_other_rate", to_f32);
  o.dart_drop_rate = args.optional("dart_drop_rate", to_f32);
  o.dart_max_drop = args.optional("dart_max_drop", to_size);
  o.dart_normalize_type = args.optional("dart_normalize_type", to_text);
  o.dart_sample_type = args.optional("dart_sample_type", to_text);
  o.tweedie_variance_power = args.optional("tweedie_variance_power", to_f32);
  o.quantile_alpha = args.optional("quantile_alpha", to_f32);
  return converted;
}

TrainingResultRecord train_from_rows(RowArguments arguments) {
  TrainingOptions& options = arguments.options;
  AssembledTraining assembled = assemble_training(options, arguments.rows.size());

  const FlatRows training = flatten_rows(arguments.rows);
  arguments.rows = {};
  std::optional<FlatRows> validation;
  if (arguments.validation_rows) {
    validation = flatten_rows(*arguments.validation_rows);
    arguments.validation_rows.reset();
    if (validation->feature_count != training.feature_count) {
      throw PythonError::value_error("validation feature_count must match training feature_count");
    }
  }

  TrainingPipelineInputs inputs;
  inputs.values = training.values;
  inputs.row_count = training.row_count;
  inputs.feature_count = training.feature_count;
  inputs.targets = arguments.targets;
  inputs.sample_weights = std::move(options.sample_weights);
  inputs.group_id = std::move(options.group_id);
  inputs.factor_exposures = std::move(assembled.factor_exposures);
  if (validation) {
    inputs.validation_values = std::span<const float>(validation->values);
    inputs.validation_row_count = validation->row_count;
  }
  if (options.validation_targets) inputs.validation_targets = std::span<const float>(*options.validation_targets);
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

PyObject* train_regression_artifact_with_summary(PyObject*, Arguments& args) {
  return new_training_result(train_from_rows(convert_arguments(args)));
}

constexpr FunctionSpec spec = {"train_regression_artifact_with_summary", kDoc, train_regression_artifact_with_summary};
PyMethodDef definition = module_function_definition<spec>();
const FunctionRegistration registration(FunctionSlot::train_regression_artifact_with_summary, &definition);

}  // namespace
}  // namespace kestrune::python

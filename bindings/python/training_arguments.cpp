#include "training_arguments.hpp"

#include <cstdint>
#include <string_view>
#include <vector>

#include "conversions.hpp"

namespace kestrune::python {
namespace {

const auto to_u32_list = list_of(to_u32);
const auto to_i64_list = list_of(to_i64);
const auto to_string_list = list_of(to_string);

void convert_core(Arguments& args, TrainingOptions& o) {
  o.learning_rate = args.required("learning_rate", to_f32);
  o.max_depth = args.required("max_depth", to_u16);
  o.row_subsample = args.required("row_subsample", to_f32);
  o.col_subsample = args.required("col_subsample", to_f32);
  o.min_validation_improvement = args.required("min_validation_improvement", to_f32);
  o.seed = args.required("seed", to_u64);
  o.deterministic = args.required("deterministic", to_bool);
  o.rounds = args.value_or("rounds", to_size, std::size_t{6});
  o.early_stopping_rounds = args.optional("early_stopping_rounds", to_u16);
}

void convert_regularization(Arguments& args, TrainingOptions& o) {
  o.min_data_in_leaf = args.value_or("min_data_in_leaf", to_u32, std::uint32_t{1});
  o.lambda_l1 = args.value_or("lambda_l1", to_f32, 0.0f);
  o.lambda_l2 = args.value_or("lambda_l2", to_f32, 0.0f);
  o.min_child_hessian = args.value_or("min_child_hessian", to_f32, 0.0f);
  o.sample_weights = args.optional("sample_weights", to_f32_list);
  o.group_id = args.optional("group_id", to_u32_list);
  o.min_split_gain = args.value_or("min_split_gain", to_f32, 0.0f);
}

void convert_validation_extras(Arguments& args, TrainingOptions& o) {
  o.validation_sample_weights = args.optional("validation_sample_weights", to_f32_list);
  o.validation_group_id = args.optional("validation_group_id", to_u32_list);
  o.validation_time_index = args.optional("validation_time_index", to_i64_list);
}

void convert_categorical_column(Arguments& args, TrainingOptions& o) {
  o.categorical.feature_index = args.optional("categorical_feature_index", to_size);
  o.categorical.feature_values = args.optional("categorical_feature_values", to_string_list);
}

void convert_validation_column(Arguments& args, TrainingOptions& o) {
  o.categorical.validation_feature_values = args.optional("validation_categorical_feature_values", to_string_list);
}

void convert_data_options(Arguments& args, TrainingOptions& o) {
  o.training_policy = args.value_or("training_policy", to_text, std::string_view("auto"));
  o.store_node_stats = args.value_or("store_node_stats", to_bool, false);
  o.categorical.smoothing = args.value_or("categorical_smoothing", to_f64, 20.0);
  o.categorical.min_samples_leaf = args.value_or("categorical_min_samples_leaf", to_u32, std::uint32_t{1});
  o.categorical.time_aware = args.value_or("categorical_time_aware", to_bool, false);
  o.time_index = args.optional("time_index", to_i64_list);
  o.continuous_binning_strategy = args.value_or("continuous_binning_strategy", to_text, std::string_view("linear"));
  o.continuous_binning_max_bins = args.value_or("continuous_binning_max_bins", to_size, std::size_t{255});
  o.objective = args.value_or("objective", to_text, std::string_view("squared_error"));
}

void convert_tree_options(Arguments& args, TrainingOptions& o) {
  o.monotone_constraints = args.value_or("monotone_constraints", list_of(to_i8), std::vector<std::int8_t>{});
  o.feature_weights = args.value_or("feature_weights", to_f32_list, std::vector<float>{});
  o.interaction_constraints = args.value_or("interaction_constraints", list_of(to_u32_list),
                                            std::vector<std::vector<std::uint32_t>>{});
  o.max_leaves = args.optional("max_leaves", to_size);
  o.tree_growth = args.value_or("tree_growth", to_text, std::string_view("level"));
  o.categorical.feature_indices = args.optional("categorical_feature_indices", list_of(to_size));
  o.categorical.feature_values_list = args.optional("categorical_feature_values_list", list_of(to_string_list));
  o.categorical.validation_feature_values_list =
      args.optional("validation_categorical_feature_values_list", list_of(to_string_list));
  o.init_artifact_bytes = args.optional("init_artifact_bytes", to_byte_string);
  o.num_classes = args.optional("num_classes", to_size);
  o.custom_objective_fn = args.optional("custom_objective_fn", to_object);
  o.custom_loss_fn = args.optional("custom_loss_fn", to_object);
  o.custom_metric_fn = args.optional("custom_metric_fn", to_object);
  o.max_cat_threshold = args.value_or("max_cat_threshold", to_size, std::size_t{0});
}

void convert_leaf_and_mode(Arguments& args, TrainingOptions& o) {
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
}

}  // namespace

void convert_summary_options(Arguments& args, TrainingOptions& options, const FeatureConversion& front,
                             const FeatureConversion& validation) {
  front();
  convert_core(args, options);
  convert_regularization(args, options);
  validation();
  convert_validation_extras(args, options);
  convert_categorical_column(args, options);
  convert_validation_column(args, options);
  convert_data_options(args, options);
  convert_tree_options(args, options);
  convert_leaf_and_mode(args, options);
}

void convert_artifact_options(Arguments& args, TrainingOptions& options, const FeatureConversion& front) {
  front();
  convert_core(args, options);
  convert_categorical_column(args, options);
  convert_data_options(args, options);
  convert_leaf_and_mode(args, options);
}

}  // namespace kestrune::python

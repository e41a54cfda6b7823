// train_joint_multi_label_ranker(...): the joint multi-output ranker's 44 arguments bound and
// converted in declaration order, then one call of the training procedure; the result is the
// tuple (artifact bytes, per-output baselines, feature count, rounds).
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "conversions.hpp"
#include "joint_training.hpp"
#include "registry.hpp"

namespace kestrune::python {
namespace {

constexpr char kDoc[] =
    "train_joint_multi_label_ranker(x_values, row_count, feature_count, targets_per_output, n_outputs, "
    "per_output_objective_names, group_id, n_estimators, learning_rate, seed, max_depth, min_data_in_leaf, "
    "lambda_l2, max_bin, min_split_gain=0.0, row_subsample=1.0, col_subsample=1.0, interaction_constraints=..., "
    "tree_growth=..., max_leaves=..., categorical_feature_indices=..., max_cat_threshold=0, boosting_mode=..., "
    "goss_top_rate=..., goss_other_rate=..., dart_drop_rate=..., dart_max_drop=..., dart_normalize_type=..., "
    "dart_sample_type=..., init_artifact_bytes=..., init_baselines=..., init_rounds_completed=..., "
    "morph_config=..., leaf_solver=..., dro_radius=0.05, dro_metric=..., factor_exposure_values=..., "
    "factor_exposure_row_count=..., factor_exposure_factor_count=..., neutralization=..., "
    "factor_neutralization_lambda=1e-6, factor_penalty=0.0, tweedie_variance_power=..., quantile_alpha=...)\n"
    "--\n\n"
    "Train a joint multi-output model that shares trees across K outputs.\n"
    "\n"
    "v0.10.1 minimum-viable wiring: pre-bins dense `x_values` using the existing\n"
    "`prepare_training_matrices_from_dense_values` helper (using y[:, 0] as a\n"
    "throwaway target \u2014 binning is target-independent), then dispatches to\n"
    "`kestrune_engine::joint::fit_joint_multi_output`. Returns the artifact\n"
    "bytes (with `MultiOutputLeafValues` section) along with per-output\n"
    "baselines + the feature count for the `JointPredictorHandle` constructor.";

const auto to_u32_list = list_of(to_u32);
const auto to_size_list = list_of(to_size);
const auto to_string_list = list_of(to_string);

PyObject* train_joint_multi_label_ranker(PyObject*, Arguments& args) {
  JointRankerInputs in;
  in.x_values = args.required("x_values", to_f32_list);
  in.row_count = args.required("row_count", to_size);
  in.feature_count = args.required("feature_count", to_size);
  in.targets_per_output = args.required("targets_per_output", list_of(to_f32_list));
  in.n_outputs = args.required("n_outputs", to_size);
  in.per_output_objective_names = args.required("per_output_objective_names", to_string_list);
  in.group_id = args.optional("group_id", to_u32_list);
  in.n_estimators = args.required("n_estimators", to_size);
  in.learning_rate = args.required("learning_rate", to_f32);
  in.seed = args.required("seed", to_u64);
  in.max_depth = args.required("max_depth", to_u16);
  in.min_data_in_leaf = args.required("min_data_in_leaf", to_u32);
  in.lambda_l2 = args.required("lambda_l2", to_f32);
  in.max_bin = args.required("max_bin", to_size);
  in.min_split_gain = args.value_or("min_split_gain", to_f32, 0.0f);
  in.row_subsample = args.value_or("row_subsample", to_f32, 1.0f);
  in.col_subsample = args.value_or("col_subsample", to_f32, 1.0f);
  in.interaction_constraints = args.value_or("interaction_constraints", list_of(to_u32_list),
                                             std::vector<std::vector<std::uint32_t>>{});
  in.tree_growth = args.value_or("tree_growth", to_string, std::string("level"));
  in.max_leaves = args.optional("max_leaves", to_size);
  in.categorical_feature_indices = args.value_or("categorical_feature_indices", to_size_list, std::vector<std::size_t>{});
  in.max_cat_threshold = args.value_or("max_cat_threshold", to_size, std::size_t{0});
  in.boosting_mode = args.value_or("boosting_mode", to_string, std::string("standard"));
  in.goss_top_rate = args.optional("goss_top_rate", to_f32);
  in.goss_other_rate = args.optional("goss_other_rate", to_f32);
  in.dart_drop_rate = args.optional("dart_drop_rate", to_f32);
  in.dart_max_drop = args.optional("dart_max_drop", to_size);
  in.dart_normalize_type = args.optional("dart_normalize_type", to_string);
  in.dart_sample_type = args.optional("dart_sample_type", to_string);
  in.init_artifact_bytes = args.optional("init_artifact_bytes", to_byte_string);
  in.init_baselines = args.optional("init_baselines", to_f32_list);
  in.init_rounds_completed = args.optional("init_rounds_completed", to_size);
  in.morph_config = args.optional("morph_config", to_dict);
  in.leaf_solver = args.value_or("leaf_solver", to_string, std::string("standard"));
  in.dro_radius = args.value_or("dro_radius", to_f32, 0.05f);
  in.dro_metric = args.value_or("dro_metric", to_string, std::string("wasserstein"));
  in.factor_exposure_values = args.optional("factor_exposure_values", to_f32_list);
  in.factor_exposure_row_count = args.optional("factor_exposure_row_count", to_size);
  in.factor_exposure_factor_count = args.optional("factor_exposure_factor_count", to_size);
  in.neutralization = args.value_or("neutralization", to_string, std::string("none"));
  in.factor_neutralization_lambda = args.value_or("factor_neutralization_lambda", to_f32, 1e-6f);
  in.factor_penalty = args.value_or("factor_penalty", to_f32, 0.0f);
  in.tweedie_variance_power = args.optional("tweedie_variance_power", to_f32);
  in.quantile_alpha = args.optional("quantile_alpha", to_f32);

  const JointRankerResult result = train_joint_ranker(std::move(in));
  Ref artifact(bytes_to_python(result.artifact));
  Ref baselines(to_python(std::span<const float>(result.baselines)));
  Ref features(to_python(static_cast<std::uint64_t>(result.feature_count)));
  Ref rounds(to_python(static_cast<std::uint64_t>(result.rounds)));
  return check(PyTuple_Pack(4, artifact.get(), baselines.get(), features.get(), rounds.get()));
}

constexpr FunctionSpec spec = {"train_joint_multi_label_ranker", kDoc, train_joint_multi_label_ranker};
PyMethodDef definition = module_function_definition<spec>();
const FunctionRegistration registration(FunctionSlot::train_joint_multi_label_ranker, &definition);

}  // namespace
}  // namespace kestrune::python

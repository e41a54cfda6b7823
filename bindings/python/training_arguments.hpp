// The parameters the five training functions share, converted segment by segment and listed in
// their text signatures by the same segments. Each function's list is its feature inputs (at
// the front and, for the summary functions, at the validation position) with these segments
// around them, in this order:
//
//   segment            parameters                                          functions
//   core               learning_rate .. early_stopping_rounds              all five
//   regularization     min_data_in_leaf .. min_split_gain                  summary
//   (validation features and targets)                                      summary
//   validation extras  validation_sample_weights .. validation_time_index  summary
//   categorical column categorical_feature_index, categorical_feature_values  all five
//   validation column  validation_categorical_feature_values               summary
//   data options       training_policy .. objective                        all five
//   tree options       monotone_constraints .. max_cat_threshold           summary
//   leaf and mode      morph_config .. quantile_alpha                      all five
//
// A parameter an artifact-only function lacks keeps its TrainingOptions default, which is the
// value those functions train with.
#pragma once

#include <array>
#include <cstddef>
#include <functional>

#include "arguments.hpp"
#include "training_assembly.hpp"

namespace kestrune::python {

// Converts a function's own feature parameters at their place in the order.
using FeatureConversion = std::function<void()>;

// Summary functions: `front` converts everything up to and including the targets,
// `validation` the validation features and targets.
void convert_summary_options(Arguments& args, TrainingOptions& options, const FeatureConversion& front,
                             const FeatureConversion& validation);
// Artifact-only functions: `front` converts everything up to and including the targets.
void convert_artifact_options(Arguments& args, TrainingOptions& options, const FeatureConversion& front);

namespace signature_text {

inline constexpr char kCore[] =
    "learning_rate, max_depth, row_subsample, col_subsample, min_validation_improvement, seed, deterministic, "
    "rounds=..., early_stopping_rounds=None, ";
inline constexpr char kRegularization[] =
    "min_data_in_leaf=1, lambda_l1=0.0, lambda_l2=0.0, min_child_hessian=0.0, sample_weights=None, "
    "group_id=None, min_split_gain=0.0, ";
inline constexpr char kValidationExtras[] =
    "validation_sample_weights=None, validation_group_id=None, validation_time_index=None, ";
inline constexpr char kCategoricalColumn[] = "categorical_feature_index=None, categorical_feature_values=None, ";
inline constexpr char kValidationColumn[] = "validation_categorical_feature_values=None, ";
inline constexpr char kDataOptions[] =
    "training_policy=\"auto\", store_node_stats=False, categorical_smoothing=20.0, categorical_min_samples_leaf=1, "
    "categorical_time_aware=False, time_index=None, continuous_binning_strategy=\"linear\", "
    "continuous_binning_max_bins=255, objective=\"squared_error\", ";
inline constexpr char kTreeOptions[] =
    "monotone_constraints=..., feature_weights=..., interaction_constraints=..., max_leaves=None, "
    "tree_growth=\"level\", categorical_feature_indices=None, categorical_feature_values_list=None, "
    "validation_categorical_feature_values_list=None, init_artifact_bytes=None, num_classes=None, "
    "custom_objective_fn=None, custom_loss_fn=None, custom_metric_fn=None, max_cat_threshold=0, ";
inline constexpr char kLeafAndMode[] =
    "morph_config=None, leaf_model=\"constant\", leaf_solver=\"standard\", dro_radius=0.05, "
    "dro_metric=\"wasserstein\", neutralization=\"none\", factor_neutralization_lambda=1e-6, factor_penalty=0.0, "
    "factor_exposure_values=None, factor_exposure_row_count=None, factor_exposure_factor_count=None, "
    "boosting_mode=\"standard\", goss_top_rate=None, goss_other_rate=None, dart_drop_rate=None, "
    "dart_max_drop=None, dart_normalize_type=None, dart_sample_type=None, tweedie_variance_power=None, "
    "quantile_alpha=None)\n--\n\n";

// The literals one after another, NUL-terminated, as one array.
template <std::size_t... N>
constexpr auto join(const char (&... parts)[N]) {
  std::array<char, (N + ... + 0) - sizeof...(N) + 1> text{};
  std::size_t at = 0;
  const auto append = [&](const char* part, std::size_t length) {
    for (std::size_t i = 0; i + 1 < length; ++i) text[at++] = part[i];
  };
  (append(parts, N), ...);
  text[at] = '\0';
  return text;
}

}  // namespace signature_text

// Documentation of a summary function: `head` is "name(" with the front parameters through the
// targets, `validation` the validation feature and target entries.
template <std::size_t H, std::size_t V>
constexpr auto summary_training_doc(const char (&head)[H], const char (&validation)[V]) {
  using namespace signature_text;
  return join(head, kCore, kRegularization, validation, kValidationExtras, kCategoricalColumn, kValidationColumn,
              kDataOptions, kTreeOptions, kLeafAndMode);
}

// Documentation of an artifact-only function.
template <std::size_t H>
constexpr auto artifact_training_doc(const char (&head)[H]) {
  using namespace signature_text;
  return join(head, kCore, kCategoricalColumn, kDataOptions, kLeafAndMode);
}

}  // namespace kestrune::python

// Assembly of a training call: the converted arguments become the training parameters and the
// other pipeline inputs, checked in a fixed order whose first failure is the one the caller sees.
//
// Summary functions (rows, dense and byte-buffer):
//   rounds (0 refused, capped at 4096), training_policy, continuous_binning_strategy,
//   tree_growth, morph_config, leaf_model, leaf_solver, the DRO settings, neutralization and its
//   leaf-model rule, the factor exposures, the boosting mode; then the parameters are filled
//   (no range checks: the trainer validates them) and the categorical specs resolved.
// Artifact-only functions (rows and dense), which lack the tree-shape and validation options:
//   morph_config, leaf_model, leaf_solver, the DRO settings, neutralization and its leaf-model
//   rule, the factor exposures, rounds, training_policy, continuous_binning_strategy, the
//   boosting mode; growth is level-wise; then the parameters and at most one categorical column.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/config.hpp"
#include "core/neutralization.hpp"
#include "f32_values.hpp"
#include "python.hpp"
#include "quantization/metadata.hpp"
#include "result_records.hpp"
#include "training_inputs.hpp"

namespace kestrune::python {

// The most rounds one call trains; larger requests are reduced without a message.
inline constexpr std::size_t kMaxTrainingRounds = 4096;

// The parameters the training functions share, as converted from Python (text values borrow the
// caller's str objects for the call). The feature inputs and the targets travel apart, since
// each function takes them in its own form. A function without some parameter leaves it at the
// value below, which is also its Python default.
struct TrainingOptions {
  float learning_rate = 0.0f;
  std::uint16_t max_depth = 0;
  float row_subsample = 0.0f;
  float col_subsample = 0.0f;
  float min_validation_improvement = 0.0f;
  std::uint64_t seed = 0;
  bool deterministic = false;
  std::size_t rounds = 6;
  std::optional<std::uint16_t> early_stopping_rounds;
  std::uint32_t min_data_in_leaf = 1;
  float lambda_l1 = 0.0f;
  float lambda_l2 = 0.0f;
  float min_child_hessian = 0.0f;
  std::optional<std::vector<float>> sample_weights;
  std::optional<std::vector<std::uint32_t>> group_id;
  float min_split_gain = 0.0f;
  std::optional<std::vector<float>> validation_sample_weights;
  std::optional<std::vector<std::uint32_t>> validation_group_id;
  std::optional<std::vector<std::int64_t>> validation_time_index;
  // Filled from categorical_feature_index, categorical_feature_values,
  // validation_categorical_feature_values, categorical_smoothing, categorical_min_samples_leaf,
  // categorical_time_aware, categorical_feature_indices, categorical_feature_values_list and
  // validation_categorical_feature_values_list.
  CategoricalArguments categorical;
  std::string_view training_policy = "auto";
  bool store_node_stats = false;
  std::optional<std::vector<std::int64_t>> time_index;
  std::string_view continuous_binning_strategy = "linear";
  std::size_t continuous_binning_max_bins = 255;
  std::string_view objective = "squared_error";
  std::vector<std::int8_t> monotone_constraints;
  std::vector<float> feature_weights;
  std::vector<std::vector<std::uint32_t>> interaction_constraints;
  std::optional<std::size_t> max_leaves;
  std::string_view tree_growth = "level";
  std::optional<std::vector<std::uint8_t>> init_artifact_bytes;
  std::optional<std::size_t> num_classes;
  std::optional<Ref> custom_objective_fn;
  std::optional<Ref> custom_loss_fn;
  std::optional<Ref> custom_metric_fn;
  std::size_t max_cat_threshold = 0;
  std::optional<Ref> morph_config;
  std::string_view leaf_model = "constant";
  std::string_view leaf_solver = "standard";
  float dro_radius = 0.05f;
  std::string_view dro_metric = "wasserstein";
  std::string_view neutralization = "none";
  float factor_neutralization_lambda = 1e-6f;
  float factor_penalty = 0.0f;
  std::optional<std::vector<float>> factor_exposure_values;
  std::optional<std::size_t> factor_exposure_row_count;
  std::optional<std::size_t> factor_exposure_factor_count;
  std::string_view boosting_mode = "standard";
  std::optional<float> goss_top_rate;
  std::optional<float> goss_other_rate;
  std::optional<float> dart_drop_rate;
  std::optional<std::size_t> dart_max_drop;
  std::optional<std::string_view> dart_normalize_type;
  std::optional<std::string_view> dart_sample_type;
  std::optional<float> tweedie_variance_power;
  std::optional<float> quantile_alpha;
};

struct AssembledTraining {
  core::TrainParams params;
  std::size_t rounds = 0;
  bool policy_auto = true;
  quantization::ContinuousBinningStrategy strategy = quantization::ContinuousBinningStrategy::Linear;
  std::optional<core::FactorExposureMatrix> factor_exposures;
  ResolvedCategoricalSpecs categorical;
};

// Each runs its checks and moves what they produced out of `options` (its lists and the
// morph_config reference, which is released after parsing). `training_row_count` is the number
// of training rows the categorical value lists must match.
AssembledTraining assemble_training(TrainingOptions& options, std::size_t training_row_count);
AssembledTraining assemble_artifact_training(TrainingOptions& options, std::size_t training_row_count);

// The feature matrices and targets of a call, borrowed for the call. The pipeline checks them
// against their counts.
struct TrainingFeatures {
  std::span<const float> values;  // row-major
  std::size_t row_count = 0;
  std::size_t feature_count = 0;
  std::span<const float> targets;
  std::optional<std::span<const float>> validation_values;
  std::optional<std::size_t> validation_row_count;
  std::optional<std::span<const float>> validation_targets;
};

// Hands the features, the assembled parameters and what is left in `options` to the pipeline.
TrainingResultRecord run_training_pipeline(const TrainingFeatures& features, TrainingOptions& options,
                                           AssembledTraining assembled);

// Flat feature matrices with explicit row counts, as the dense and byte-buffer summary functions
// receive them: read in place when the caller's memory allows it, else copied.
struct DenseTrainingData {
  F32Values values;
  std::size_t row_count = 0;
  std::size_t feature_count = 0;
  F32Values targets;
  std::optional<F32Values> validation_values;
  std::optional<std::size_t> validation_row_count;
  std::optional<F32Values> validation_targets;
};

// The summary assembly on flat matrices, then the pipeline; every consistency check between the
// buffers and their counts is the pipeline's.
TrainingResultRecord train_dense_with_summary(const DenseTrainingData& data, TrainingOptions& options);

}  // namespace kestrune::python

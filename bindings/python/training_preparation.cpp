#include "training_preparation.hpp"

#include <string>
#include <utility>

#include "core/dataset.hpp"
#include "engine/error.hpp"
#include "engine/trainer/warm_start.hpp"
#include "training_pre_target.hpp"

namespace kestrune::python {
namespace {

using engine::EngineError;
using quantization::PreparedTrainingMatrices;

constexpr std::string_view kMulticlassObjective = "multiclass_softmax";

std::string count_mismatch(const char* what, std::size_t length, std::size_t row_count) {
  return std::string(what) + " length " + std::to_string(length) + " does not match validation row_count " +
         std::to_string(row_count);
}

// The dense matrix keeps no quantized codes: the engine reads dense values only as raw features
// (linear leaves), so it holds either the raw rows or only its counts.
core::DatasetMatrix raw_matrix(std::span<const float> values, std::size_t row_count, std::size_t feature_count) {
  return engine::with_core_errors([&] {
    return core::DatasetMatrix::make(row_count, feature_count, std::vector<float>(values.begin(), values.end()));
  });
}

// The validation rows with the training cuts, or nothing when none were given.
std::optional<PreparedTrainingMatrices> prepare_validation(TrainingPipelineInputs& inputs,
                                                           const PreparedTrainingMatrices& training,
                                                           bool keep_raw_values) {
  const bool has_values = inputs.validation_values.has_value();
  const bool has_targets = inputs.validation_targets.has_value();
  const bool has_count = inputs.validation_row_count.has_value();
  if (has_values != has_targets || has_values != has_count) {
    throw EngineError::contract_violation("validation rows, targets, and row_count must be provided together");
  }
  if (!has_values) return std::nullopt;
  if (inputs.feature_count == 0) {
    throw EngineError::contract_violation("validation feature_count must be greater than 0");
  }
  const std::size_t row_count = *inputs.validation_row_count;
  PreparedTrainingMatrices validation = quantization::prepare_validation_matrices_from_dense_values(
      *inputs.validation_values, row_count, inputs.feature_count, *inputs.validation_targets,
      std::move(inputs.validation_time_index), std::move(inputs.validation_sample_weights),
      std::move(inputs.validation_group_id), inputs.continuous_binning_strategy, training.binning_metadata,
      /*keep_dense_values=*/false, inputs.continuous_binning_max_bins, training.binned.missing_bin);
  if (keep_raw_values) {
    // Validation predictions of linear leaves read raw features, as the training ones do.
    validation.dataset.matrix = raw_matrix(*inputs.validation_values, row_count, inputs.feature_count);
  }
  // Each per-row list is read row by row while scoring the validation set: one entry per row.
  const core::TrainingDataset& dataset = validation.dataset;
  if (dataset.sample_weights && dataset.sample_weights->size() != row_count) {
    throw EngineError::contract_violation(
        count_mismatch("validation_sample_weights", dataset.sample_weights->size(), row_count));
  }
  if (dataset.group_id && dataset.group_id->size() != row_count) {
    throw EngineError::contract_violation(count_mismatch("validation_group_id", dataset.group_id->size(), row_count));
  }
  if (dataset.time_index && dataset.time_index->size() != row_count) {
    throw EngineError::contract_violation(
        count_mismatch("validation_time_index", dataset.time_index->size(), row_count));
  }
  return validation;
}

// Linear leaves read raw feature values: those the fit grows, and those of a warm-start model,
// whose trees the fit replays on the training and validation rows as the predictor evaluates
// them (slopes included), whatever leaf model the fit itself grows.
bool keeps_raw_values(const TrainingPipelineInputs& inputs) {
  if (inputs.params.leaf_model == core::LeafModel::Linear) return true;
  return inputs.init_artifact_bytes && engine::trainer::artifact_has_linear_leaves(*inputs.init_artifact_bytes);
}

// The single-output warm start; a multiclass one is decoded with the multiclass fit.
std::optional<engine::trainer::WarmStartState> load_warm_start(const TrainingPipelineInputs& inputs) {
  if (inputs.objective == kMulticlassObjective || !inputs.init_artifact_bytes) return std::nullopt;
  return engine::trainer::warm_start_from_artifact_bytes(*inputs.init_artifact_bytes, inputs.feature_count);
}

}  // namespace

double seconds_of(std::chrono::steady_clock::duration elapsed) {
  const auto whole = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed - whole);
  return static_cast<double>(whole.count()) + static_cast<double>(nanos.count()) / 1e9;
}

PreparedTraining prepare_training(TrainingPipelineInputs& inputs) {
  const auto start = std::chrono::steady_clock::now();
  PreparedTraining prepared{
      quantization::prepare_training_matrices_from_dense_values(
          inputs.values, inputs.row_count, inputs.feature_count, inputs.targets, std::move(inputs.time_index),
          std::move(inputs.sample_weights), std::move(inputs.group_id), inputs.continuous_binning_strategy,
          inputs.continuous_binning_max_bins, /*keep_dense_values=*/false),
      std::nullopt, std::nullopt, {}, {}, std::nullopt, 0.0};
  core::TrainingDataset& dataset = prepared.training.dataset;
  dataset.factor_exposures = std::move(inputs.factor_exposures);
  inputs.factor_exposures.reset();
  const bool keep_raw_values = keeps_raw_values(inputs);
  if (keep_raw_values) {
    // Linear leaves fit and replay on the raw feature values, whatever the quantizer kept.
    dataset.matrix = raw_matrix(inputs.values, inputs.row_count, inputs.feature_count);
  }
  validate_bridge_pre_target_neutralization_support(inputs.params, inputs.objective,
                                                    inputs.custom_objective_fn.has_value(),
                                                    inputs.validation_targets.has_value());
  apply_bridge_pre_target_neutralization(prepared.training, inputs.params.neutralization_config);
  // The fit that follows is a plain regression on the residuals.
  if (core::neutralization_kind(inputs.params) == core::NeutralizationKind::PreTarget) {
    inputs.params.neutralization_config.reset();
  }
  CategoricalPreparation categorical =
      apply_training_categorical_columns(prepared.training, inputs.categorical_specs, inputs.max_cat_threshold);

  prepared.validation = prepare_validation(inputs, prepared.training, keep_raw_values);
  if (prepared.validation) {
    apply_validation_categorical_columns(*prepared.validation, categorical, inputs.categorical_specs,
                                         inputs.validation_categorical_values);
  }
  prepared.native_categorical_features = std::move(categorical.native_features);
  prepared.native_cat_mappings = std::move(categorical.native_cat_mappings);
  if (!categorical.encoding.columns.empty()) prepared.categorical_state = std::move(categorical.encoding.state);
  prepared.warm_start = load_warm_start(inputs);
  prepared.bridge_prepare_seconds = seconds_of(std::chrono::steady_clock::now() - start);
  return prepared;
}

}  // namespace kestrune::python

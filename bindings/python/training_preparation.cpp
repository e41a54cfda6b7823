#include "training_preparation.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "core/dataset.hpp"
#include "engine/error.hpp"
#include "engine/trainer/warm_start.hpp"

namespace kestrune::python {
namespace {

using engine::EngineError;
using quantization::PreparedTrainingMatrices;

constexpr std::string_view kMulticlassObjective = "multiclass_softmax";

std::string count_mismatch(const char* what, std::size_t length, std::size_t row_count) {
  return std::string(what) + " length " + std::to_string(length) + " does not match validation row_count " +
         std::to_string(row_count);
}

// The pre-target rule's own checks come first; the residualization itself is not available yet.
void apply_pre_target_neutralization(const TrainingPipelineInputs& inputs) {
  if (core::neutralization_kind(inputs.params) != core::NeutralizationKind::PreTarget) return;
  if (inputs.objective != "squared_error" || inputs.custom_objective_fn) {
    throw EngineError::contract_violation(
        "neutralization='pre_target' is only supported for GBMRegressor squared-error training");
  }
  if (inputs.validation_targets) {
    throw EngineError::contract_violation(
        "neutralization='pre_target' does not support validation targets in this release because validation "
        "factor_exposures are not accepted");
  }
  throw EngineError::not_implemented("neutralization='pre_target' is not implemented yet");
}

// A column's index and its string count are checked for every spec before any column is
// treated: a bad index would write bins into another feature's cells, a short list would leave
// rows without a category.
void check_categorical_specs(const std::vector<CategoricalTargetEncodingSpec>& specs, std::size_t row_count,
                             std::size_t feature_count) {
  for (const CategoricalTargetEncodingSpec& spec : specs) {
    if (spec.feature_index >= feature_count) {
      throw EngineError::contract_violation("categorical feature index " + std::to_string(spec.feature_index) +
                                            " is out of bounds for feature_count " + std::to_string(feature_count));
    }
    if (spec.values.size() != row_count) {
      throw EngineError::contract_violation("categorical values length " + std::to_string(spec.values.size()) +
                                            " does not match row_count " + std::to_string(row_count));
    }
  }
}

// Number of distinct strings of a column, by byte-wise order.
std::size_t distinct_category_count(const std::vector<std::string>& values) {
  std::vector<std::string> sorted = values;
  std::sort(sorted.begin(), sorted.end());
  return static_cast<std::size_t>(std::unique(sorted.begin(), sorted.end()) - sorted.begin());
}

// Which columns would be split on natively and which target-encoded; neither treatment is
// available yet, so the first column names itself in a not-implemented error rather than being
// trained as a plain numeric feature.
void apply_categorical_columns(const TrainingPipelineInputs& inputs, const PreparedTrainingMatrices& training) {
  for (const CategoricalTargetEncodingSpec& spec : inputs.categorical_specs) {
    const std::size_t n = inputs.max_cat_threshold > 0 ? distinct_category_count(spec.values) : 0;
    const bool native = inputs.max_cat_threshold > 0 && n >= 2 && n <= inputs.max_cat_threshold;
    if (!native) {
      throw EngineError::not_implemented("categorical target encoding is not implemented yet (categorical feature " +
                                         std::to_string(spec.feature_index) + ")");
    }
    const std::uint16_t missing_bin = training.binned.missing_bin;
    if (n > missing_bin) {
      throw EngineError::contract_violation(
          "Native categorical feature " + std::to_string(spec.feature_index) + " has " + std::to_string(n) +
          " categories which would collide with the missing-value sentinel (bin " + std::to_string(missing_bin) +
          "). Reduce max_cat_threshold or increase continuous_binning_max_bins.");
    }
    throw EngineError::not_implemented("native categorical splits are not implemented yet (categorical feature " +
                                       std::to_string(spec.feature_index) + ")");
  }
}

// The validation rows with the training cuts, or nothing when none were given.
std::optional<PreparedTrainingMatrices> prepare_validation(TrainingPipelineInputs& inputs,
                                                           const PreparedTrainingMatrices& training) {
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
      !inputs.categorical_specs.empty(), inputs.continuous_binning_max_bins);
  if (inputs.params.leaf_model == core::LeafModel::Linear) {
    // Validation rows are scored with the same linear leaves, so they need their raw values too:
    // without them only the intercepts would count and the validation loss would not be the
    // loss of the model that is returned.
    validation.dataset.matrix = engine::with_core_errors([&] {
      return core::DatasetMatrix::make(row_count, inputs.feature_count,
                                       std::vector<float>(inputs.validation_values->begin(),
                                                          inputs.validation_values->end()));
    });
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
          inputs.continuous_binning_max_bins, !inputs.categorical_specs.empty()),
      std::nullopt, std::nullopt, {}, {}, std::nullopt, 0.0};
  core::TrainingDataset& dataset = prepared.training.dataset;
  dataset.factor_exposures = std::move(inputs.factor_exposures);
  inputs.factor_exposures.reset();
  if (inputs.params.leaf_model == core::LeafModel::Linear) {
    // Linear leaves fit on the raw feature values, whatever the quantizer kept.
    dataset.matrix = engine::with_core_errors([&] {
      return core::DatasetMatrix::make(inputs.row_count, inputs.feature_count,
                                       std::vector<float>(inputs.values.begin(), inputs.values.end()));
    });
  }
  apply_pre_target_neutralization(inputs);
  check_categorical_specs(inputs.categorical_specs, inputs.row_count, inputs.feature_count);
  apply_categorical_columns(inputs, prepared.training);

  prepared.validation = prepare_validation(inputs, prepared.training);
  prepared.warm_start = load_warm_start(inputs);
  prepared.bridge_prepare_seconds = seconds_of(std::chrono::steady_clock::now() - start);
  return prepared;
}

}  // namespace kestrune::python

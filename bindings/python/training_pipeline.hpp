// The one road from the Python training functions into the engine: quantize the training rows,
// prepare the validation rows with the training cuts and the warm-start model, build the trainer
// and the objective named by the caller, run exactly one fit, then encode the model and build
// the summary. Runs on the calling thread with the interpreter lock held throughout; only the
// quantizers and the fit use the worker pool.
//
// Failures are engine::EngineError (ValueError for InvalidConfig and ContractViolation,
// RuntimeError for the rest), the first one ending the call with everything dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.hpp"
#include "core/neutralization.hpp"
#include "python.hpp"
#include "quantization/metadata.hpp"
#include "result_records.hpp"
#include "training_inputs.hpp"

namespace kestrune::python {

// Borrowed views belong to the caller and stay valid for the call; everything else is handed
// over.
struct TrainingPipelineInputs {
  std::span<const float> values;  // row-major, row_count x feature_count
  std::size_t row_count = 0;
  std::size_t feature_count = 0;
  std::span<const float> targets;
  std::optional<std::vector<float>> sample_weights;
  std::optional<std::vector<std::uint32_t>> group_id;
  std::optional<core::FactorExposureMatrix> factor_exposures;
  // The validation rows, their count and targets come together or not at all.
  std::optional<std::span<const float>> validation_values;
  std::optional<std::size_t> validation_row_count;
  std::optional<std::span<const float>> validation_targets;
  std::optional<std::vector<float>> validation_sample_weights;
  std::optional<std::vector<std::uint32_t>> validation_group_id;
  core::TrainParams params;
  std::size_t rounds = 0;
  std::optional<std::vector<std::int64_t>> time_index;
  std::optional<std::vector<std::int64_t>> validation_time_index;
  std::vector<CategoricalTargetEncodingSpec> categorical_specs;
  // Entry k holds the validation rows' strings of categorical_specs[k].
  std::vector<std::vector<std::string>> validation_categorical_values;
  bool policy_auto = true;
  bool store_node_stats = false;
  quantization::ContinuousBinningStrategy continuous_binning_strategy = quantization::ContinuousBinningStrategy::Linear;
  std::size_t continuous_binning_max_bins = 255;
  std::string_view objective;
  std::optional<std::span<const std::uint8_t>> init_artifact_bytes;
  std::optional<std::size_t> num_classes;
  std::optional<Ref> custom_objective_fn;
  std::optional<Ref> custom_loss_fn;
  std::optional<Ref> custom_metric_fn;
  // Categorical columns with 2..max_cat_threshold distinct strings are split on natively; 0
  // turns native handling off.
  std::size_t max_cat_threshold = 0;
};

TrainingResultRecord train_regression_artifact_with_summary_dense_impl(TrainingPipelineInputs inputs);

}  // namespace kestrune::python

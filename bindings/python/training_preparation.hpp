// The pipeline's preparation stretch: everything between the Python inputs and the trainer.
// Training rows are quantized (raw values kept where linear leaves need them), categorical
// columns split natively or target-encoded, the validation rows binned with the training cuts,
// given the same categorical treatment and checked against their own row count, and a
// warm-start artifact decoded and checked against the training features.
// The preparation clock runs from the first step to the last.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/artifact/categorical_state.hpp"
#include "engine/trainer/trainer.hpp"
#include "engine/trainer/warm_start.hpp"
#include "quantization/matrix_preparation.hpp"
#include "training_categorical.hpp"
#include "training_pipeline.hpp"

namespace kestrune::python {

struct PreparedTraining {
  quantization::PreparedTrainingMatrices training;
  std::optional<quantization::PreparedTrainingMatrices> validation;
  // What a warm start continues from: a single-output model checked against the training
  // features.
  std::optional<engine::trainer::WarmStartState> warm_start;
  std::vector<engine::trainer::CategoricalFeature> native_categorical_features;
  CategoryMappings native_cat_mappings;
  std::optional<core::CategoricalStatePayloadV1> categorical_state;
  double bridge_prepare_seconds = 0.0;
};

// Whole seconds plus nanoseconds / 1e9 of a monotonic duration.
double seconds_of(std::chrono::steady_clock::duration elapsed);

// Consumes the data inputs of `inputs` (weights, group ids, time indices, factor exposures,
// categorical lists); the parameters lose a pre-target neutralization setting once the targets
// have been residualized here.
PreparedTraining prepare_training(TrainingPipelineInputs& inputs);

}  // namespace kestrune::python

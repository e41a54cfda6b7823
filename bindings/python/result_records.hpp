// The records behind the result classes NativeTrainingResult, NativeTrainingSummary,
// NativeContinuousBinningMetadata and NativeIterationDiagnostics; the training entry points fill
// them and hand them to the constructors of result_classes.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quantization/metadata.hpp"

namespace kestrune::python {

struct IterationDiagnosticsRecord {
  float gradient_l2_norm = 0.0f;
  float gradient_variance = 0.0f;
  float hessian_l2_norm = 0.0f;
  // Absent when factor neutralization is not active for the fit.
  std::optional<float> original_gradient_l2_norm;
  std::optional<float> projected_gradient_l2_norm;
  std::optional<float> neutralization_effectiveness;
  std::size_t n_active_rows = 0;
  std::size_t n_active_features = 0;
};

struct TrainingSummaryRecord {
  std::size_t rounds_requested = 0;
  std::size_t rounds_completed = 0;
  std::optional<std::size_t> best_validation_round;
  std::optional<float> best_validation_loss;
  std::vector<float> train_rmse;
  std::vector<float> validation_rmse;
  std::vector<float> train_loss;
  std::vector<float> validation_loss;
  std::string objective;
  std::string stop_reason;
  double bridge_prepare_seconds = 0.0;
  double native_train_seconds = 0.0;
  std::vector<float> custom_metric_values;
  std::optional<std::string> custom_metric_name;
  std::vector<IterationDiagnosticsRecord> diagnostics_per_round;
};

struct TrainingResultRecord {
  std::vector<std::uint8_t> artifact_bytes;
  TrainingSummaryRecord summary;
  quantization::ContinuousBinningMetadataInternal continuous_binning_metadata;
  // Feature index -> category name -> category id. Ordered maps, so that the dicts Python sees
  // are built in one order in every process.
  std::map<std::size_t, std::map<std::string, std::uint32_t>> native_cat_mappings;
};

}  // namespace kestrune::python

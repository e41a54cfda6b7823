#include "engine/trainer/validate.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/validation.hpp"
#include "engine/error.hpp"
#include "engine/factor.hpp"
#include "support/casts.hpp"

namespace kestrune::engine::trainer {

namespace {

bool finite_nonnegative(float value) { return std::isfinite(value) && value >= 0.0f; }

// 0 < x <= 1; NaN fails.
bool unit_rate(float value) { return value > 0.0f && value <= 1.0f; }

}  // namespace

void validate_training_alignment(const core::TrainingDataset& dataset, const core::BinnedMatrix& binned) {
  with_core_errors([&] { core::validate_binned_matrix(binned); });
  if (dataset.matrix.row_count != binned.row_count) {
    throw EngineError::contract_violation("dataset row_count " + std::to_string(dataset.matrix.row_count) +
                                          " does not match binned row_count " + std::to_string(binned.row_count));
  }
  if (dataset.matrix.feature_count != binned.feature_count) {
    throw EngineError::contract_violation("dataset feature_count " + std::to_string(dataset.matrix.feature_count) +
                                          " does not match binned feature_count " +
                                          std::to_string(binned.feature_count));
  }
}

void validate_iteration_controls(const IterationControls& controls) {
  auto fail = [](const char* message) { throw EngineError::invalid_config(message); };
  if (controls.rounds == 0) fail("rounds must be greater than 0");
  if (controls.min_rows_per_leaf == 0) fail("min_rows_per_leaf must be greater than 0");
  if (!finite_nonnegative(controls.min_split_gain)) fail("min_split_gain must be finite and >= 0");
  if (!finite_nonnegative(controls.min_abs_leaf_value)) fail("min_abs_leaf_value must be finite and >= 0");
  if (!std::isfinite(controls.max_abs_leaf_value) || !(controls.max_abs_leaf_value > 0.0f)) {
    fail("max_abs_leaf_value must be finite and > 0");
  }
  if (controls.min_abs_leaf_value > controls.max_abs_leaf_value) {
    fail("min_abs_leaf_value cannot exceed max_abs_leaf_value");
  }
  if (!finite_nonnegative(controls.min_loss_improvement)) fail("min_loss_improvement must be finite and >= 0");
  if (!unit_rate(controls.row_subsample)) fail("row_subsample must be in (0.0, 1.0]");
  if (!unit_rate(controls.col_subsample)) fail("col_subsample must be in (0.0, 1.0]");
  if (controls.early_stopping_rounds && *controls.early_stopping_rounds == 0) {
    fail("early_stopping_rounds must be greater than 0");
  }
  if (!finite_nonnegative(controls.min_validation_improvement)) {
    fail("min_validation_improvement must be finite and >= 0");
  }
}

float target_variance(std::span<const float> targets, std::optional<std::span<const float>> weights) {
  if (targets.empty()) throw EngineError::contract_violation("targets cannot be empty");
  if (weights) {
    if (weights->size() != targets.size()) {
      throw EngineError::contract_violation("weights length " + std::to_string(weights->size()) +
                                            " does not match targets length " + std::to_string(targets.size()));
    }
    float weight_sum = 0.0f;
    float weighted_sum = 0.0f;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      weight_sum += (*weights)[i];
      weighted_sum += (*weights)[i] * targets[i];
    }
    // A NaN sum (a NaN weight) passes: the weight check of the fit reports the weight itself.
    if (weight_sum <= 0.0f) throw EngineError::contract_violation("sample weight sum must be greater than 0");
    const float mean = weighted_sum / weight_sum;
    float spread = 0.0f;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      const float deviation = targets[i] - mean;
      spread += (*weights)[i] * (deviation * deviation);
    }
    return spread / weight_sum;
  }
  // The true row count (a float32 sum of ones would stop growing at 2^24 rows; below that both
  // are the same number).
  const float count = static_cast<float>(targets.size());
  float sum = 0.0f;
  for (float y : targets) sum += y;
  const float mean = sum / count;
  float spread = 0.0f;
  for (float y : targets) {
    const float deviation = y - mean;
    spread += deviation * deviation;
  }
  return spread / count;
}

float binned_feature_density(const core::BinnedMatrix& binned) {
  const std::size_t bins_per_feature = std::size_t{binned.max_bin} + 1;
  const std::optional<std::size_t> cells = support::checked_mul(binned.feature_count, bins_per_feature);
  if (!cells || *cells == 0) return 0.0f;
  std::vector<std::uint8_t> seen(*cells, 0);
  const std::size_t features = binned.feature_count;
  binned.bins.visit([&](auto codes) {
    // Only whole rows inside the list are read; a matrix with a short list was rejected by
    // its own validation before the policy asks.
    const std::size_t rows = std::min(binned.row_count, codes.size() / features);
    for (std::size_t row = 0; row < rows; ++row) {
      const auto row_codes = codes.subspan(row * features, features);
      for (std::size_t feature = 0; feature < features; ++feature) {
        const std::size_t bin = row_codes[feature];
        if (bin < bins_per_feature) seen[feature * bins_per_feature + bin] = 1;
      }
    }
  });
  std::size_t occupied = 0;
  for (std::uint8_t flag : seen) occupied += flag;
  return static_cast<float>(occupied) / static_cast<float>(*cells);
}

void validate_gradient_pair_length(std::span<const core::GradientPair> pairs, std::size_t row_count) {
  if (pairs.size() != row_count) {
    throw EngineError::contract_violation("objective returned " + std::to_string(pairs.size()) +
                                          " gradients for row_count " + std::to_string(row_count));
  }
}

void validate_gradient_pairs(std::span<const core::GradientPair> pairs, std::size_t row_count) {
  validate_gradient_pair_length(pairs, row_count);
  for (const core::GradientPair& pair : pairs) {
    // A positive subnormal hessian passes; NaN fails the > test.
    if (!std::isfinite(pair.grad) || !std::isfinite(pair.hess) || !(pair.hess > 0.0f)) {
      throw EngineError::contract_violation("objective produced invalid gradient/hessian values");
    }
  }
}

std::optional<core::NeutralizationConfig> gradient_neutralization_config(const core::TrainParams& params) {
  switch (core::neutralization_kind(params)) {
    case core::NeutralizationKind::PerRoundGradient:
    case core::NeutralizationKind::SplitPenalty:
      return params.neutralization_config;
    case core::NeutralizationKind::None:
    case core::NeutralizationKind::PreTarget:
      break;
  }
  return std::nullopt;
}

void validate_neutralization_fit_contract_for_support(const core::TrainParams& params,
                                                      const core::TrainingDataset& dataset,
                                                      bool pre_target_supported) {
  const core::NeutralizationKind kind = core::neutralization_kind(params);
  if (kind == core::NeutralizationKind::None) {
    if (dataset.factor_exposures) {
      throw EngineError::contract_violation("factor_exposures were provided but neutralization='none'");
    }
    return;
  }
  if (!dataset.factor_exposures) {
    throw EngineError::contract_violation("factor_exposures are required when neutralization is active");
  }
  if (dataset.factor_exposures->row_count != dataset.matrix.row_count) {
    throw EngineError::contract_violation("factor_exposures row_count " +
                                          std::to_string(dataset.factor_exposures->row_count) +
                                          " does not match training row_count " +
                                          std::to_string(dataset.matrix.row_count));
  }
  if (kind == core::NeutralizationKind::PreTarget && !pre_target_supported) {
    throw EngineError::contract_violation(
        "neutralization='pre_target' is only supported for GBMRegressor squared-error training");
  }
}

void validate_warm_start_neutralization_contract(const core::TrainParams& params, bool warm_start_present,
                                                 const core::TrainingDataset& dataset) {
  if (warm_start_present && core::neutralization_kind(params) != core::NeutralizationKind::None &&
      !dataset.factor_exposures) {
    throw EngineError::contract_violation(
        "neutralized warm-start training requires factor_exposures to be supplied; pass the same matrix used for "
        "the initial fit");
  }
}

std::optional<core::TrainingDataset> prepare_pre_target_training_dataset(const core::TrainParams& params,
                                                                         const core::TrainingDataset& dataset) {
  if (core::neutralization_kind(params) != core::NeutralizationKind::PreTarget) return std::nullopt;
  // The caller's dataset stays as given: the fit trains on the residualized copy.
  core::TrainingDataset copy = dataset;
  apply_pre_target_neutralization(copy, params.neutralization_config->factor_neutralization_lambda);
  return copy;
}

std::optional<std::vector<float>> compute_feature_means_from_matrix(std::span<const float> values,
                                                                    std::size_t feature_count, std::size_t row_count) {
  if (feature_count == 0 || row_count == 0) return std::nullopt;
  const std::optional<std::size_t> cells = support::checked_mul(row_count, feature_count);
  if (!cells || values.size() < *cells) return std::nullopt;
  std::vector<double> sums(feature_count, 0.0);
  std::vector<std::size_t> counts(feature_count, 0);
  for (std::size_t row = 0; row < row_count; ++row) {
    const auto row_values = values.subspan(row * feature_count, feature_count);
    for (std::size_t feature = 0; feature < feature_count; ++feature) {
      const float value = row_values[feature];
      if (!std::isfinite(value)) continue;
      sums[feature] += static_cast<double>(value);
      ++counts[feature];
    }
  }
  std::vector<float> means(feature_count, 0.0f);
  for (std::size_t feature = 0; feature < feature_count; ++feature) {
    if (counts[feature] > 0) means[feature] = static_cast<float>(sums[feature] / static_cast<double>(counts[feature]));
  }
  return means;
}

}  // namespace kestrune::engine::trainer

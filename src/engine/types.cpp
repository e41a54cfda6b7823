#include "engine/types.hpp"

#include <cmath>

#include "engine/error.hpp"

namespace kestrune::engine {

namespace {

// Finite and >= 0; -0.0 passes, NaN fails.
bool finite_nonnegative(float value) { return std::isfinite(value) && value >= 0.0f; }

}  // namespace

std::string_view stop_reason_name(IterationStopReason reason) {
  switch (reason) {
    case IterationStopReason::CompletedRequestedRounds: return "CompletedRequestedRounds";
    case IterationStopReason::DepthBudgetReached: return "DepthBudgetReached";
    case IterationStopReason::NoSplitCandidate: return "NoSplitCandidate";
    case IterationStopReason::GainBelowThreshold: return "GainBelowThreshold";
    case IterationStopReason::LeafRowsBelowThreshold: return "LeafRowsBelowThreshold";
    case IterationStopReason::LeafMagnitudeBelowThreshold: return "LeafMagnitudeBelowThreshold";
    case IterationStopReason::LossImprovementBelowThreshold: return "LossImprovementBelowThreshold";
    case IterationStopReason::MonotoneConstraintViolation: return "MonotoneConstraintViolation";
    case IterationStopReason::MaxLeavesReached: return "MaxLeavesReached";
    case IterationStopReason::ValidationLossPlateau: return "ValidationLossPlateau";
    case IterationStopReason::CustomMetricPlateau: return "CustomMetricPlateau";
  }
  return "Unknown";
}

IterationControls IterationControls::make(std::size_t rounds, std::size_t min_rows_per_leaf,
                                          std::size_t loss_stall_limit, float min_split_gain,
                                          float min_abs_leaf_value, float max_abs_leaf_value,
                                          float min_loss_improvement) {
  if (rounds == 0) throw EngineError::invalid_config("rounds must be greater than 0");
  if (!finite_nonnegative(min_split_gain)) {
    throw EngineError::invalid_config("min_split_gain must be finite and >= 0");
  }
  if (min_rows_per_leaf == 0) throw EngineError::invalid_config("min_rows_per_leaf must be greater than 0");
  if (!finite_nonnegative(min_abs_leaf_value)) {
    throw EngineError::invalid_config("min_abs_leaf_value must be finite and >= 0");
  }
  if (!std::isfinite(max_abs_leaf_value) || !(max_abs_leaf_value > 0.0f)) {
    throw EngineError::invalid_config("max_abs_leaf_value must be finite and > 0");
  }
  if (min_abs_leaf_value > max_abs_leaf_value) {
    throw EngineError::invalid_config("min_abs_leaf_value cannot exceed max_abs_leaf_value");
  }
  if (!finite_nonnegative(min_loss_improvement)) {
    throw EngineError::invalid_config("min_loss_improvement must be finite and >= 0");
  }
  IterationControls controls;
  controls.rounds = rounds;
  controls.min_rows_per_leaf = min_rows_per_leaf;
  controls.loss_stall_limit = loss_stall_limit;
  controls.min_split_gain = min_split_gain;
  controls.min_abs_leaf_value = min_abs_leaf_value;
  controls.max_abs_leaf_value = max_abs_leaf_value;
  controls.min_loss_improvement = min_loss_improvement;
  return controls;
}

IterationDiagnostics IterationDiagnostics::from_gradient_snapshot(std::span<const core::GradientPair> pairs,
                                                                  bool projection_active, std::size_t n_active_rows,
                                                                  std::size_t n_active_features,
                                                                  float pre_projection_gradient_l2_norm) {
  std::size_t count = 0;
  double sum = 0.0;
  double sum_sq = 0.0;
  double hess_sum_sq = 0.0;
  for (const core::GradientPair& pair : pairs) {
    if (std::isfinite(pair.grad)) {
      const double g = pair.grad;
      ++count;
      sum += g;
      sum_sq += g * g;
    }
    if (std::isfinite(pair.hess)) {
      const double h = pair.hess;
      hess_sum_sq += h * h;
    }
  }
  IterationDiagnostics diagnostics;
  diagnostics.gradient_l2_norm = static_cast<float>(std::sqrt(sum_sq));
  diagnostics.hessian_l2_norm = static_cast<float>(std::sqrt(hess_sum_sq));
  if (count >= 2) {
    const double n = static_cast<double>(count);
    const double mean = sum / n;
    diagnostics.gradient_variance = static_cast<float>(std::fmax(sum_sq / n - mean * mean, 0.0));
  }
  if (projection_active) {
    diagnostics.original_gradient_l2_norm = pre_projection_gradient_l2_norm;
    diagnostics.projected_gradient_l2_norm = diagnostics.gradient_l2_norm;
    if (pre_projection_gradient_l2_norm > 0.0f) {
      // A clamp that lets NaN through, as the stored value must not invent a number.
      float effectiveness = 1.0f - diagnostics.gradient_l2_norm / pre_projection_gradient_l2_norm;
      if (effectiveness < 0.0f) effectiveness = 0.0f;
      if (effectiveness > 1.0f) effectiveness = 1.0f;
      diagnostics.neutralization_effectiveness = effectiveness;
    }
  }
  diagnostics.n_active_rows = n_active_rows;
  diagnostics.n_active_features = n_active_features;
  return diagnostics;
}

IterationDiagnostics IterationDiagnostics::aggregate_per_class(std::span<const IterationDiagnostics> per_class) {
  IterationDiagnostics result;
  if (per_class.empty()) return result;
  auto max_present = [](std::optional<float>& into, const std::optional<float>& value) {
    if (!value) return;
    into = into ? std::fmax(*into, *value) : *value;
  };
  float gradient_norm = 0.0f;
  float variance = 0.0f;
  float hessian_norm = 0.0f;
  for (const IterationDiagnostics& entry : per_class) {
    gradient_norm += entry.gradient_l2_norm;
    variance += entry.gradient_variance;
    hessian_norm += entry.hessian_l2_norm;
    max_present(result.original_gradient_l2_norm, entry.original_gradient_l2_norm);
    max_present(result.projected_gradient_l2_norm, entry.projected_gradient_l2_norm);
    max_present(result.neutralization_effectiveness, entry.neutralization_effectiveness);
  }
  const float classes = static_cast<float>(per_class.size());
  result.gradient_l2_norm = gradient_norm / classes;
  result.gradient_variance = variance / classes;
  result.hessian_l2_norm = hessian_norm / classes;
  result.n_active_rows = per_class.front().n_active_rows;
  result.n_active_features = per_class.front().n_active_features;
  return result;
}

}  // namespace kestrune::engine

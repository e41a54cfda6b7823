// The boosting driver's per-fit records: why a fit or a tree stopped, the controls a fit runs
// under, and the gradient diagnostics it keeps per round.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/histogram.hpp"

namespace kestrune::engine {

// Codes in this order from 0; the name is what Python sees as `stop_reason`.
enum class IterationStopReason : std::uint8_t {
  CompletedRequestedRounds,
  DepthBudgetReached,
  NoSplitCandidate,
  GainBelowThreshold,
  LeafRowsBelowThreshold,
  LeafMagnitudeBelowThreshold,
  LossImprovementBelowThreshold,
  MonotoneConstraintViolation,
  MaxLeavesReached,
  ValidationLossPlateau,
  CustomMetricPlateau,
};

std::string_view stop_reason_name(IterationStopReason reason);

// The validated controls of one fit, copied into its request.
struct IterationControls {
  std::optional<std::size_t> early_stopping_rounds;
  std::optional<std::size_t> max_leaves;
  std::size_t rounds = 1;
  std::size_t min_rows_per_leaf = 1;
  // Consecutive rounds whose training-loss improvement may fall below min_loss_improvement
  // before the fit stops; 0 stops at the first such round.
  std::size_t loss_stall_limit = 0;
  float min_split_gain = 0.0f;
  float min_abs_leaf_value = 0.0f;
  float max_abs_leaf_value = 1e6f;
  float min_loss_improvement = 0.0f;
  float row_subsample = 1.0f;  // (0, 1]
  float col_subsample = 1.0f;  // (0, 1]
  float min_validation_improvement = 0.0f;

  // Both optional counts absent, subsample rates 1.0 and min_validation_improvement 0.0.
  // EngineError::InvalidConfig for the first value out of range.
  static IterationControls make(std::size_t rounds, std::size_t min_rows_per_leaf, std::size_t loss_stall_limit,
                                float min_split_gain, float min_abs_leaf_value, float max_abs_leaf_value,
                                float min_loss_improvement);

  friend bool operator==(const IterationControls&, const IterationControls&) = default;
};

// Gradient statistics of one round. The three optional fields are present only when factor
// neutralization projects the gradients.
struct IterationDiagnostics {
  float gradient_l2_norm = 0.0f;
  float gradient_variance = 0.0f;  // population variance of the finite gradients
  float hessian_l2_norm = 0.0f;
  std::optional<float> original_gradient_l2_norm;
  std::optional<float> projected_gradient_l2_norm;
  // 1 - projected / original norm, clamped to [0, 1]: the share of gradient signal projected away.
  std::optional<float> neutralization_effectiveness;
  std::size_t n_active_rows = 0;      // the round's sampled rows
  std::size_t n_active_features = 0;  // the round's sampled features (not tiles, whose count follows the pool)

  // Non-finite gradients are left out of every gradient statistic, non-finite hessians out of
  // the hessian norm; sums are float64, rounded once.
  static IterationDiagnostics from_gradient_snapshot(std::span<const core::GradientPair> pairs,
                                                     bool projection_active, std::size_t n_active_rows,
                                                     std::size_t n_active_features,
                                                     float pre_projection_gradient_l2_norm);

  // One record for a multiclass round: float32 means of the three norms over the classes, the
  // largest present value of each optional, the row and feature counts of the first class.
  static IterationDiagnostics aggregate_per_class(std::span<const IterationDiagnostics> per_class);

  friend bool operator==(const IterationDiagnostics&, const IterationDiagnostics&) = default;
};

}  // namespace kestrune::engine

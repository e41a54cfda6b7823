// The objective contract: what the boosting driver asks of every objective, and the input checks
// the objectives share. The driver is a template over the objective type, so the per-row loops
// below are reached through plain member calls, never through a virtual table.
#pragma once

#include <concepts>
#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/histogram.hpp"

namespace kestrune::engine::objectives {

using core::GradientPair;

// Optional per-row weights: absent means weight 1 for every row. An empty list is not absent: it
// is a list of the wrong length for any non-empty data.
using Weights = std::optional<std::span<const float>>;

// Smallest hessian an objective hands to tree growth (the float32 0x33D6BF95).
inline constexpr float kHessianFloor = 1e-7f;

// max(x, 1e-7) that yields the floor when x is NaN. Written as a comparison rather than std::fmax,
// which is a library call per row: with a floor that is neither zero nor NaN the two agree on
// every input.
inline float floor_hessian(float x) noexcept { return x > kHessianFloor ? x : kHessianFloor; }

// The operations the driver calls, in the order it first calls them:
// - compute_gradients: one checked pair per row, a new list (the driver's dry run);
// - initial_prediction: the constant raw score boosting starts from;
// - compute_gradients_into: the per-round path; fills the caller's reused buffer (its storage is
//   kept and grown only when too small). A failed length check leaves the buffer untouched; a
//   failure found while filling it leaves it empty, never half-filled;
// - loss: the objective's own loss, used for training and validation scores alike.
template <typename T>
concept ObjectiveOps = requires(const T& objective, std::span<const float> predictions, std::span<const float> targets,
                                Weights weights, std::vector<GradientPair>& out) {
  { objective.compute_gradients(predictions, targets, weights) } -> std::same_as<std::vector<GradientPair>>;
  { objective.initial_prediction(targets, weights) } -> std::same_as<float>;
  { objective.compute_gradients_into(predictions, targets, weights, out) } -> std::same_as<void>;
  { objective.loss(predictions, targets, weights) } -> std::same_as<float>;
};

// Ranking objectives also score a vector against query-group boundaries chosen by the caller, so
// that a validation set is always measured with its own groups. `boundaries` is [0, b1, ..., n].
template <typename T>
concept RankingObjectiveOps =
    ObjectiveOps<T> && requires(const T& objective, std::span<const float> predictions, std::span<const float> targets,
                                Weights weights, std::span<const std::size_t> boundaries) {
      { objective.loss_with_boundaries(predictions, targets, weights, boundaries) } -> std::same_as<float>;
    };

// ---- shared checks (all EngineError::ContractViolation) ----

// "predictions length {} does not match targets length {}", then, for given weights,
// "weights length {} does not match targets length {}".
void check_lengths(std::size_t predictions_len, std::size_t targets_len, const Weights& weights);
// "weights length {} does not match targets length {}" alone.
void check_weights_length(std::size_t targets_len, const Weights& weights);
// "targets cannot be empty".
void check_targets_not_empty(std::size_t targets_len);

// A usable weight is finite and greater than 0; zero of either sign, negatives, infinities and NaN
// are not; positive subnormals are.
inline bool weight_is_valid(float w) noexcept { return std::isfinite(w) && w > 0.0f; }
// Throws "sample weights must be finite and > 0".
[[noreturn]] void throw_invalid_weight();
inline void check_weight(float w) {
  if (!weight_is_valid(w)) throw_invalid_weight();
}

// Out of line: the slow path that lets core::GradientPair::make raise its own error.
[[noreturn]] void checked_pair_failure(float grad, float hess);
// The checked pair construction of the core records, its error wrapped as EngineError::Core. The
// accepting path is inlined: it runs once per row in the dry run and on every checked round.
inline GradientPair checked_pair(float grad, float hess) {
  if (std::isfinite(grad) && std::isfinite(hess) && hess > 0.0f) return GradientPair{grad, hess};
  checked_pair_failure(grad, hess);
}

// Runs `fill` over a buffer already sized to the row count; if it throws, the buffer is emptied
// before the error goes on, so a caller never keeps a half-written round.
template <typename Fill>
void fill_or_clear(std::vector<GradientPair>& out, std::size_t rows, Fill&& fill) {
  out.resize(rows);
  try {
    fill(std::span<GradientPair>(out));
  } catch (...) {
    out.clear();
    throw;
  }
}

}  // namespace kestrune::engine::objectives

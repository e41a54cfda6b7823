#include "engine/objectives/squared.hpp"

#include <cstddef>

#include "engine/error.hpp"
#include "engine/objectives/loss.hpp"
#include "engine/objectives/row_parallel.hpp"

namespace kestrune::engine::objectives {
namespace {

// A subtraction per row streams at memory speed: only large inputs repay more threads. The checked
// path tests every value on the way.
constexpr std::size_t kPlainRowsPerThread = 65536;
constexpr std::size_t kCheckedRowsPerThread = 32768;

}  // namespace

void squared_error_gradients_checked_into(std::span<const float> predictions, std::span<const float> targets,
                                          const Weights& weights, std::vector<GradientPair>& out) {
  check_lengths(predictions.size(), targets.size(), weights);
  fill_or_clear(out, targets.size(), [&](std::span<GradientPair> pairs) {
    for_row_chunks(pairs.size(), kCheckedRowsPerThread, [&](std::size_t first, std::size_t last) {
      if (weights) {
        const std::span<const float> w = *weights;
        for (std::size_t i = first; i < last; ++i) {
          check_weight(w[i]);
          pairs[i] = checked_pair(w[i] * (predictions[i] - targets[i]), w[i]);
        }
      } else {
        for (std::size_t i = first; i < last; ++i) pairs[i] = checked_pair(predictions[i] - targets[i], 1.0f);
      }
    });
  });
}

std::vector<GradientPair> SquaredErrorObjective::compute_gradients(std::span<const float> predictions,
                                                                   std::span<const float> targets,
                                                                   const Weights& weights) const {
  std::vector<GradientPair> pairs;
  squared_error_gradients_checked_into(predictions, targets, weights, pairs);
  return pairs;
}

float SquaredErrorObjective::initial_prediction(std::span<const float> targets, const Weights& weights) const {
  check_targets_not_empty(targets.size());
  if (!weights) {
    float sum = -0.0f;
    for (const float y : targets) sum += y;
    return sum / static_cast<float>(targets.size());
  }
  check_weights_length(targets.size(), weights);
  const std::span<const float> w = *weights;
  float weighted_sum = 0.0f;
  float weight_sum = 0.0f;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    check_weight(w[i]);
    weighted_sum += w[i] * targets[i];
    weight_sum += w[i];
  }
  if (weight_sum <= 0.0f) throw EngineError::contract_violation("sample weight sum must be greater than 0");
  return weighted_sum / weight_sum;
}

void SquaredErrorObjective::compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                                                   const Weights& weights, std::vector<GradientPair>& out) const {
  check_lengths(predictions.size(), targets.size(), weights);
  const std::size_t n = targets.size();
  out.resize(n);
  GradientPair* pairs = out.data();
  for_row_chunks(n, kPlainRowsPerThread, [&](std::size_t first, std::size_t last) {
    if (weights) {
      const float* w = weights->data();
      for (std::size_t i = first; i < last; ++i) pairs[i] = GradientPair{w[i] * (predictions[i] - targets[i]), w[i]};
    } else {
      for (std::size_t i = first; i < last; ++i) pairs[i] = GradientPair{predictions[i] - targets[i], 1.0f};
    }
  });
}

float SquaredErrorObjective::loss(std::span<const float> predictions, std::span<const float> targets,
                                  const Weights& weights) const {
  return squared_error_loss(predictions, targets, weights);
}

}  // namespace kestrune::engine::objectives

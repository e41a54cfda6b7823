#include "engine/objectives/quantile.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <string>
#include <utility>

#include "engine/error.hpp"
#include "engine/objectives/row_parallel.hpp"
#include "support/casts.hpp"
#include "support/stable_sort.hpp"

namespace kestrune::engine::objectives {
namespace {

// A comparison per row streams at memory speed: only large inputs repay more threads. The checked
// path tests every value on the way.
constexpr std::size_t kPlainRowsPerThread = 65536;
constexpr std::size_t kCheckedRowsPerThread = 32768;

[[noreturn]] void throw_values_not_finite() { throw EngineError::contract_violation("values must be finite"); }

// The two gradient coefficients: below the target (y > p) the score must rise.
struct PinballSlopes {
  explicit PinballSlopes(float alpha) : below(-alpha), at_or_above(1.0f - alpha) {}
  float of(float p, float y) const { return y > p ? below : at_or_above; }  // NaN takes 1 - alpha
  float below;
  float at_or_above;
};

float unweighted_quantile(std::span<const float> values, float alpha) {
  for (const float v : values) {
    if (!std::isfinite(v)) throw_values_not_finite();
  }
  const std::size_t n = values.size();
  const double position = std::fmax(static_cast<double>(n) * static_cast<double>(alpha) - 1.0, 0.0);
  const std::size_t k = std::min(n - 1, support::saturating_cast<std::size_t>(std::ceil(position)));
  std::vector<float> copy(values.begin(), values.end());
  // Every value is finite, so less-than is a strict weak order here.
  std::nth_element(copy.begin(), copy.begin() + static_cast<std::ptrdiff_t>(k), copy.end());
  return copy[k];
}

float weighted_quantile_of(std::span<const float> values, std::span<const float> weights, float alpha) {
  if (weights.size() != values.size()) {
    throw EngineError::contract_violation("weights length " + std::to_string(weights.size()) +
                                          " does not match values length " + std::to_string(values.size()));
  }
  std::vector<std::pair<float, float>> pairs;
  pairs.reserve(values.size());
  double total = 0.0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    check_weight(weights[i]);
    if (!std::isfinite(values[i])) throw_values_not_finite();
    pairs.emplace_back(values[i], weights[i]);
    total += static_cast<double>(weights[i]);
  }
  support::stable_merge_sort(pairs, [](const auto& a, const auto& b) { return a.first < b.first; });
  const double target = total * static_cast<double>(alpha);
  double running = 0.0;
  for (const auto& [value, weight] : pairs) {
    running += static_cast<double>(weight);
    if (running >= target) return value;
  }
  // Rounding can leave the running sum just below the target: the largest value then.
  return pairs.back().first;
}

}  // namespace

float weighted_quantile(std::span<const float> values, const Weights& weights, float alpha) {
  if (values.empty()) throw EngineError::contract_violation("values cannot be empty");
  if (weights) return weighted_quantile_of(values, *weights, alpha);
  return unweighted_quantile(values, alpha);
}

std::vector<GradientPair> QuantileObjective::compute_gradients(std::span<const float> predictions,
                                                               std::span<const float> targets,
                                                               const Weights& weights) const {
  check_lengths(predictions.size(), targets.size(), weights);
  const PinballSlopes slopes(alpha);
  std::vector<GradientPair> pairs(targets.size());
  for_row_chunks(pairs.size(), kCheckedRowsPerThread, [&](std::size_t first, std::size_t last) {
    if (weights) {
      const std::span<const float> w = *weights;
      for (std::size_t i = first; i < last; ++i) {
        check_weight(w[i]);
        pairs[i] = checked_pair(w[i] * slopes.of(predictions[i], targets[i]), w[i]);
      }
    } else {
      for (std::size_t i = first; i < last; ++i) pairs[i] = checked_pair(slopes.of(predictions[i], targets[i]), 1.0f);
    }
  });
  return pairs;
}

float QuantileObjective::initial_prediction(std::span<const float> targets, const Weights& weights) const {
  return weighted_quantile(targets, weights, alpha);
}

void QuantileObjective::compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                                               const Weights& weights, std::vector<GradientPair>& out) const {
  check_lengths(predictions.size(), targets.size(), weights);
  const PinballSlopes slopes(alpha);
  const std::size_t n = targets.size();
  out.resize(n);
  GradientPair* pairs = out.data();
  for_row_chunks(n, kPlainRowsPerThread, [&](std::size_t first, std::size_t last) {
    if (weights) {
      const float* w = weights->data();
      for (std::size_t i = first; i < last; ++i) {
        pairs[i] = GradientPair{w[i] * slopes.of(predictions[i], targets[i]), w[i]};
      }
    } else {
      for (std::size_t i = first; i < last; ++i) pairs[i] = GradientPair{slopes.of(predictions[i], targets[i]), 1.0f};
    }
  });
}

float QuantileObjective::loss(std::span<const float> predictions, std::span<const float> targets,
                              const Weights& weights) const {
  check_lengths(predictions.size(), targets.size(), weights);
  const std::size_t n = targets.size();
  if (n == 0) return 0.0f;
  const float alpha_minus_one = alpha - 1.0f;
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const float d = targets[i] - predictions[i];
    const float term = d > 0.0f ? d * alpha : d * alpha_minus_one;
    if (weights) {
      const float w = (*weights)[i];
      check_weight(w);
      sum += static_cast<double>(term) * static_cast<double>(w);
    } else {
      sum += static_cast<double>(term);
    }
  }
  return static_cast<float>(sum / static_cast<double>(n));
}

}  // namespace kestrune::engine::objectives

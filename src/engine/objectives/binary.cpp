#include "engine/objectives/binary.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "engine/error.hpp"
#include "engine/objectives/loss.hpp"
#include "engine/objectives/row_parallel.hpp"
#include "support/exp_lanes.hpp"

namespace kestrune::engine::objectives {
namespace {

// Clamps of the mean label, so that its logit is finite; the upper one is the float32 0x3F7FFFFE.
constexpr float kMinMeanLabel = 1e-7f;
constexpr float kMaxMeanLabel = 0.9999999f;

inline GradientPair pair_at_sigmoid(float s, float y, float w) {
  return GradientPair{w * (s - y), w * floor_hessian(s * (1.0f - s))};
}

inline GradientPair logistic_pair(float f, float y, float w) { return pair_at_sigmoid(stable_sigmoid(f), y, w); }

// logistic_pair given e = exp(-|f|), the exponential the loss term shares. For every logit but a
// NaN, exp(-|f|) is the exponential stable_sigmoid takes (the two differ only in the sign of a
// zero, whose exponential is 1 either way); a NaN logit takes stable_sigmoid's own path, whose NaN
// the pair keeps bit for bit.
inline GradientPair logistic_pair_given_exp(float f, float y, float w, float e) {
  if (std::isnan(f)) [[unlikely]] return logistic_pair(f, y, w);
  return pair_at_sigmoid(sigmoid_given_exp(f, e), y, w);
}

// One exponential per row: a thread repays its wake-up from a few thousand rows on.
constexpr std::size_t kRowsPerThread = 8192;

// Rows whose exponentials are computed together, into a buffer on the stack.
constexpr std::size_t kExpBlock = 2048;

template <bool Weighted, typename Emit>
void for_each_pair(std::span<const float> predictions, std::span<const float> targets, const Weights& weights,
                   Emit&& emit) {
  const float* w = Weighted ? weights->data() : nullptr;
  for_row_chunks(targets.size(), kRowsPerThread, [&](std::size_t first, std::size_t last) {
    float exps[kExpBlock];
    for (std::size_t begin = first; begin < last; begin += kExpBlock) {
      const std::size_t end = std::min(last, begin + kExpBlock);
      exp_minus_abs_into(predictions.subspan(begin, end - begin), std::span<float>(exps, end - begin));
      for (std::size_t i = begin; i < end; ++i) {
        emit(i, logistic_pair_given_exp(predictions[i], targets[i], Weighted ? w[i] : 1.0f, exps[i - begin]));
      }
    }
  });
}

}  // namespace

std::vector<GradientPair> BinaryCrossEntropyObjective::compute_gradients(std::span<const float> predictions,
                                                                         std::span<const float> targets,
                                                                         const Weights& weights) const {
  check_lengths(predictions.size(), targets.size(), weights);
  std::vector<GradientPair> pairs(targets.size());
  auto emit = [&](std::size_t i, GradientPair p) { pairs[i] = checked_pair(p.grad, p.hess); };
  if (weights) {
    for_each_pair<true>(predictions, targets, weights, emit);
  } else {
    for_each_pair<false>(predictions, targets, weights, emit);
  }
  return pairs;
}

float BinaryCrossEntropyObjective::initial_prediction(std::span<const float> targets, const Weights& weights) const {
  check_targets_not_empty(targets.size());
  float numerator;
  float denominator;
  if (weights) {
    check_weights_length(targets.size(), weights);
    const std::span<const float> w = *weights;
    numerator = 0.0f;
    denominator = 0.0f;
    for (std::size_t i = 0; i < targets.size(); ++i) {
      check_weight(w[i]);
      numerator += w[i] * targets[i];
      denominator += w[i];
    }
  } else {
    numerator = -0.0f;
    for (const float y : targets) numerator += y;
    denominator = static_cast<float>(targets.size());
  }
  if (denominator <= 0.0f) throw EngineError::contract_violation("sample weight sum must be greater than 0");
  float mean = numerator / denominator;
  // Written as two comparisons so that a NaN mean passes through both unchanged.
  if (mean < kMinMeanLabel) mean = kMinMeanLabel;
  if (mean > kMaxMeanLabel) mean = kMaxMeanLabel;
  return std::log(mean / (1.0f - mean));
}

void BinaryCrossEntropyObjective::compute_gradients_into(std::span<const float> predictions,
                                                         std::span<const float> targets, const Weights& weights,
                                                         std::vector<GradientPair>& out) const {
  check_lengths(predictions.size(), targets.size(), weights);
  out.resize(targets.size());
  GradientPair* pairs = out.data();
  auto emit = [pairs](std::size_t i, GradientPair p) { pairs[i] = p; };
  if (weights) {
    for_each_pair<true>(predictions, targets, weights, emit);
  } else {
    for_each_pair<false>(predictions, targets, weights, emit);
  }
}

float BinaryCrossEntropyObjective::loss(std::span<const float> predictions, std::span<const float> targets,
                                        const Weights& weights) const {
  return binary_crossentropy_loss(predictions, targets, weights);
}

float BinaryCrossEntropyObjective::compute_gradients_and_loss_into(std::span<const float> predictions,
                                                                  std::span<const float> targets,
                                                                  const Weights& weights,
                                                                  std::vector<GradientPair>& out) const {
  check_lengths(predictions.size(), targets.size(), weights);
  out.resize(targets.size());
  GradientPair* const pairs = out.data();
  // Each row's pair is written as the loss takes the row's term, whose exponential exp(-|f|) is
  // the sigmoid's too.
  return mean_logistic_loss(targets, weights, [&](std::size_t first, std::span<float> terms) {
    const std::span<const float> f = predictions.subspan(first, terms.size());
    exp_minus_abs_into(f, terms);
    for (std::size_t k = 0; k < terms.size(); ++k) {
      const std::size_t i = first + k;
      const float y = targets[i];
      pairs[i] = logistic_pair_given_exp(f[k], y, weights ? (*weights)[i] : 1.0f, terms[k]);
      terms[k] = logistic_loss_term(f[k], y, terms[k]);
    }
  });
}

float BinaryCrossEntropyObjective::loss_when_idle(std::span<const float> predictions, std::span<const float> targets,
                                                  const Weights& weights, std::vector<float>& terms) const {
  check_lengths(predictions.size(), targets.size(), weights);
  terms.resize(targets.size());
  return mean_logistic_loss_when_idle(predictions, targets, weights, terms);
}

}  // namespace kestrune::engine::objectives

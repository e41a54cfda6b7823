#include "engine/objectives/xendcg.hpp"

#include <cmath>
#include <limits>

namespace kestrune::engine::objectives {
namespace {

void accumulate_xendcg(std::span<const std::size_t> boundaries, std::span<const float> scores,
                       std::span<const float> labels, std::span<GradientPair> acc) {
  for (std::size_t g = 0; g + 1 < boundaries.size(); ++g) {
    const std::size_t begin = boundaries[g];
    const std::size_t end = boundaries[g + 1];
    if (end - begin < 2) continue;
    const float label_lse = log_sum_exp(labels.subspan(begin, end - begin));
    const float score_lse = log_sum_exp(scores.subspan(begin, end - begin));
    for (std::size_t i = begin; i < end; ++i) {
      const float q = std::exp(labels[i] - label_lse);
      const float p = std::exp(scores[i] - score_lse);
      acc[i] = GradientPair{p - q, floor_hessian(p * (1.0f - p))};
    }
  }
}

}  // namespace

float log_sum_exp(std::span<const float> values) {
  float m = -std::numeric_limits<float>::infinity();
  for (const float v : values) {
    if (v > m) m = v;
  }
  if (std::isinf(m)) return 0.0f;
  float sum = -0.0f;
  for (const float v : values) sum += std::exp(v - m);
  return m + std::log(sum);
}

std::vector<GradientPair> XeNDCGObjective::compute_gradients(std::span<const float> predictions,
                                                             std::span<const float> targets,
                                                             const Weights& weights) const {
  std::vector<GradientPair> pairs;
  compute_gradients_into(predictions, targets, weights, pairs);
  return pairs;
}

float XeNDCGObjective::initial_prediction(std::span<const float>, const Weights&) const { return 0.0f; }

void XeNDCGObjective::compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                                             const Weights&, std::vector<GradientPair>& out) const {
  ranking_gradients_into(predictions, targets, layout_.train_boundaries, out, [&](std::span<GradientPair> acc) {
    accumulate_xendcg(layout_.train_boundaries, predictions, targets, acc);
  });
}

float XeNDCGObjective::loss(std::span<const float> predictions, std::span<const float> targets,
                            const Weights& weights) const {
  return loss_with_boundaries(predictions, targets, weights, layout_.boundaries_for_len(predictions.size()));
}

float XeNDCGObjective::loss_with_boundaries(std::span<const float> predictions, std::span<const float> targets,
                                            const Weights&, std::span<const std::size_t> boundaries) const {
  check_ranking_inputs(predictions, targets, boundaries);
  const std::size_t groups = boundaries.size() - 1;
  if (groups == 0) return 0.0f;
  double total = 0.0;
  for (std::size_t g = 0; g < groups; ++g) {
    const std::size_t begin = boundaries[g];
    const std::size_t end = boundaries[g + 1];
    if (end - begin < 2) continue;
    const float label_lse = log_sum_exp(targets.subspan(begin, end - begin));
    const float score_lse = log_sum_exp(predictions.subspan(begin, end - begin));
    double cross = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
      const double q = std::exp(static_cast<double>(targets[i] - label_lse));
      const double log_p = static_cast<double>(predictions[i] - score_lse);
      cross += q * log_p;
    }
    total += -cross;
  }
  return static_cast<float>(total / static_cast<double>(groups));
}

}  // namespace kestrune::engine::objectives

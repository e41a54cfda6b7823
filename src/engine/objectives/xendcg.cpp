#include "engine/objectives/xendcg.hpp"

#include <cmath>
#include <limits>
#include <optional>

namespace kestrune::engine::objectives {
namespace {

// Two exponentials per row: a thread repays its wake-up from several thousand rows on.
constexpr std::size_t kRowsPerThread = 8192;
// A group's loss takes three exponentials per row: a hundred groups of a few dozen rows repay a
// thread's wake-up.
constexpr std::size_t kLossGroupsPerThread = 128;

// Writes the pairs of groups first_group .. last_group - 1 into their rows of `acc`.
void accumulate_xendcg(std::span<const std::size_t> boundaries, std::size_t first_group, std::size_t last_group,
                       std::span<const float> scores, std::span<const float> labels, std::span<GradientPair> acc) {
  for (std::size_t g = first_group; g < last_group; ++g) {
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
  ranking_gradients_into(predictions, targets, layout_.train_boundaries, out, kRowsPerThread,
                         [&](std::size_t first_group, std::size_t last_group, std::span<GradientPair> acc) {
                           accumulate_xendcg(layout_.train_boundaries, first_group, last_group, predictions, targets,
                                             acc);
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
  // The groups' cross-entropies come from the pool; their sum stays one running total in group
  // order, over the groups of two rows or more.
  double total = 0.0;
  fold_terms_in_order<std::optional<double>>(
      groups, kLossGroupsPerThread,
      [&](std::size_t g) -> std::optional<double> {
        const std::size_t begin = boundaries[g];
        const std::size_t end = boundaries[g + 1];
        if (end - begin < 2) return std::nullopt;
        const float label_lse = log_sum_exp(targets.subspan(begin, end - begin));
        const float score_lse = log_sum_exp(predictions.subspan(begin, end - begin));
        double cross = 0.0;
        for (std::size_t i = begin; i < end; ++i) {
          const double q = std::exp(static_cast<double>(targets[i] - label_lse));
          const double log_p = static_cast<double>(predictions[i] - score_lse);
          cross += q * log_p;
        }
        return -cross;
      },
      [&](const std::optional<double>& term) {
        if (term) total += *term;
      });
  return static_cast<float>(total / static_cast<double>(groups));
}

}  // namespace kestrune::engine::objectives

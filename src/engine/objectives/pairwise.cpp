#include "engine/objectives/pairwise.hpp"

#include <cmath>

#include "engine/objectives/ndcg.hpp"

namespace kestrune::engine::objectives {
namespace {

// Pairwise work on every row: a thread repays its wake-up from a couple of thousand rows on.
constexpr std::size_t kRowsPerThread = 2048;

// Adds the pair terms of groups first_group .. last_group - 1 into their rows of `acc` (zeroed by
// the caller). Inputs are checked.
void accumulate_pairwise(std::span<const std::size_t> boundaries, std::size_t first_group, std::size_t last_group,
                         std::span<const float> scores, std::span<const float> labels, std::span<GradientPair> acc) {
  for (std::size_t g = first_group; g < last_group; ++g) {
    const std::size_t end = boundaries[g + 1];
    for (std::size_t i = boundaries[g]; i < end; ++i) {
      for (std::size_t j = i + 1; j < end; ++j) {
        if (labels[i] == labels[j]) continue;
        const bool i_better = labels[i] > labels[j];
        const std::size_t hi = i_better ? i : j;
        const std::size_t lo = i_better ? j : i;
        const float rho = pair_weight(scores[hi] - scores[lo]);
        const float curvature = rho * (1.0f - rho);
        acc[hi].grad -= rho;
        acc[lo].grad += rho;
        acc[hi].hess += curvature;
        acc[lo].hess += curvature;
      }
    }
  }
}

}  // namespace

std::pair<std::vector<float>, std::vector<float>> pairwise_gradients(std::span<const std::size_t> boundaries,
                                                                     std::span<const float> predictions,
                                                                     std::span<const float> labels) {
  check_ranking_inputs(predictions, labels, boundaries);
  std::vector<GradientPair> acc(predictions.size());
  accumulate_pairwise(boundaries, 0, boundaries.size() - 1, predictions, labels, acc);
  std::pair<std::vector<float>, std::vector<float>> result;
  result.first.reserve(acc.size());
  result.second.reserve(acc.size());
  for (const GradientPair& pair : acc) {
    result.first.push_back(pair.grad);
    result.second.push_back(pair.hess);
  }
  return result;
}

std::vector<GradientPair> PairwiseRankingObjective::compute_gradients(std::span<const float> predictions,
                                                                      std::span<const float> targets,
                                                                      const Weights&) const {
  std::vector<GradientPair> pairs;
  ranking_gradients_into(predictions, targets, layout_.train_boundaries, pairs, kRowsPerThread,
                         [&](std::size_t first_group, std::size_t last_group, std::span<GradientPair> acc) {
                           accumulate_pairwise(layout_.train_boundaries, first_group, last_group, predictions, targets,
                                               acc);
                         });
  return pairs;
}

float PairwiseRankingObjective::initial_prediction(std::span<const float>, const Weights&) const { return 0.0f; }

void PairwiseRankingObjective::compute_gradients_into(std::span<const float> predictions,
                                                      std::span<const float> targets, const Weights&,
                                                      std::vector<GradientPair>& out) const {
  // The dry run has checked the pairs: only the hessian floor is applied here.
  ranking_gradients_into(
      predictions, targets, layout_.train_boundaries, out, kRowsPerThread,
      [&](std::size_t first_group, std::size_t last_group, std::span<GradientPair> acc) {
        accumulate_pairwise(layout_.train_boundaries, first_group, last_group, predictions, targets, acc);
      },
      /*checked=*/false);
}

float PairwiseRankingObjective::loss(std::span<const float> predictions, std::span<const float> targets,
                                     const Weights& weights) const {
  return loss_with_boundaries(predictions, targets, weights, layout_.boundaries_for_len(predictions.size()));
}

float PairwiseRankingObjective::loss_with_boundaries(std::span<const float> predictions,
                                                     std::span<const float> targets, const Weights&,
                                                     std::span<const std::size_t> boundaries) const {
  check_ranking_inputs(predictions, targets, boundaries);
  double sum = 0.0;
  std::size_t pairs = 0;
  for (std::size_t g = 0; g + 1 < boundaries.size(); ++g) {
    const std::size_t end = boundaries[g + 1];
    for (std::size_t i = boundaries[g]; i < end; ++i) {
      for (std::size_t j = i + 1; j < end; ++j) {
        if (targets[i] == targets[j]) continue;
        const bool i_better = targets[i] > targets[j];
        const float lead = i_better ? predictions[i] - predictions[j] : predictions[j] - predictions[i];
        const double d = static_cast<double>(lead);
        sum += d >= 0.0 ? std::log1p(std::exp(-d)) : std::log1p(std::exp(d)) - d;
        ++pairs;
      }
    }
  }
  if (pairs == 0) return 0.0f;
  return static_cast<float>(sum / static_cast<double>(pairs));
}

}  // namespace kestrune::engine::objectives

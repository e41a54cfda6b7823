#include "engine/objectives/yetirank.hpp"

#include "engine/objectives/ndcg.hpp"

namespace kestrune::engine::objectives {
namespace {

constexpr std::uint64_t kGroupStride = 1000003ULL;
constexpr std::uint64_t kSampleStride = 7ULL;
constexpr std::uint64_t kGoldenGamma = 0x9E3779B97F4A7C15ULL;
constexpr double kTwoToMinus64 = 0x1p-64;

void accumulate_yetirank(std::span<const std::size_t> boundaries, std::span<const float> scores,
                         std::span<const float> labels, std::size_t num_samples, std::uint64_t seed,
                         std::span<GradientPair> acc) {
  if (num_samples == 0) return;
  const float inv_samples = 1.0f / static_cast<float>(num_samples);
  RankingScratch scratch;
  for (std::size_t g = 0; g + 1 < boundaries.size(); ++g) {
    const std::size_t begin = boundaries[g];
    const std::size_t rows = boundaries[g + 1] - begin;
    if (rows < 2) continue;
    const std::span<const float> group_labels = labels.subspan(begin, rows);
    const std::span<const float> group_scores = scores.subspan(begin, rows);
    const float idcg = ideal_dcg(group_labels, rows, scratch.sorted_labels);
    if (idcg <= 0.0f) continue;
    const float inv_idcg = 1.0f / idcg;
    fill_gains(group_labels, scratch);
    for (std::size_t s = 0; s < num_samples; ++s) {
      scratch.perturbed.resize(rows);
      for (std::size_t i = 0; i < rows; ++i) scratch.perturbed[i] = group_scores[i] + yetirank_noise(seed, g, s, i);
      rank_by_score(scratch.perturbed, scratch);
      fill_discounts(scratch);
      for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = i + 1; j < rows; ++j) {
          if (group_labels[i] == group_labels[j]) continue;
          const bool i_better = group_labels[i] > group_labels[j];
          const std::size_t hi = i_better ? i : j;
          const std::size_t lo = i_better ? j : i;
          const float rho = pair_weight(group_scores[hi] - group_scores[lo]);
          const float delta =
              swap_delta(inv_idcg, scratch.gain[hi], scratch.gain[lo], scratch.discount[hi], scratch.discount[lo]);
          const float step = inv_samples * -(rho * delta);
          const float curvature = inv_samples * ((rho * (1.0f - rho)) * delta);
          acc[begin + hi].grad += step;
          acc[begin + lo].grad -= step;
          acc[begin + hi].hess += curvature;
          acc[begin + lo].hess += curvature;
        }
      }
    }
  }
}

}  // namespace

float yetirank_noise(std::uint64_t seed, std::size_t group, std::size_t sample, std::size_t position) noexcept {
  // Unsigned arithmetic wraps modulo 2^64, which the key relies on.
  const std::uint64_t key = seed + static_cast<std::uint64_t>(group) * kGroupStride +
                            kSampleStride * static_cast<std::uint64_t>(sample) +
                            (static_cast<std::uint64_t>(position) + 1) * kGoldenGamma;
  const double u = static_cast<double>(splitmix64_mix(key)) * kTwoToMinus64;
  return 0.5f * static_cast<float>((u + u) - 1.0);
}

std::vector<GradientPair> YetiRankObjective::compute_gradients(std::span<const float> predictions,
                                                               std::span<const float> targets,
                                                               const Weights& weights) const {
  std::vector<GradientPair> pairs;
  compute_gradients_into(predictions, targets, weights, pairs);
  return pairs;
}

float YetiRankObjective::initial_prediction(std::span<const float>, const Weights&) const { return 0.0f; }

void YetiRankObjective::compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                                               const Weights&, std::vector<GradientPair>& out) const {
  ranking_gradients_into(predictions, targets, layout_.train_boundaries, out, [&](std::span<GradientPair> acc) {
    accumulate_yetirank(layout_.train_boundaries, predictions, targets, num_samples_, seed_, acc);
  });
}

float YetiRankObjective::loss(std::span<const float> predictions, std::span<const float> targets,
                              const Weights& weights) const {
  return loss_with_boundaries(predictions, targets, weights, layout_.boundaries_for_len(predictions.size()));
}

float YetiRankObjective::loss_with_boundaries(std::span<const float> predictions, std::span<const float> targets,
                                              const Weights&, std::span<const std::size_t> boundaries) const {
  return mean_ndcg_loss(predictions, targets, boundaries);
}

}  // namespace kestrune::engine::objectives

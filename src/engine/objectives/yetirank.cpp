#include "engine/objectives/yetirank.hpp"

#include <cmath>

#include "engine/objectives/ndcg.hpp"

namespace kestrune::engine::objectives {
namespace {

constexpr std::uint64_t kGroupStride = 1000003ULL;
constexpr std::uint64_t kSampleStride = 7ULL;
constexpr std::uint64_t kGoldenGamma = 0x9E3779B97F4A7C15ULL;
constexpr double kTwoToMinus64 = 0x1p-64;

// A pair's logistic weight and gain difference depend only on the unperturbed scores and the
// labels, so they are the same in every sample: groups of up to this many pairs compute them once.
constexpr std::size_t kMaxCachedPairs = std::size_t{1} << 18;

struct CachedPair {
  std::size_t hi;
  std::size_t lo;
  float rho;
  float curvature;  // rho * (1 - rho)
  float gain_diff;  // gain[hi] - gain[lo]
};

// One pair's share of one sample's update.
inline void add_pair(std::span<GradientPair> group_acc, std::size_t hi, std::size_t lo, float rho, float curvature,
                     float gain_diff, float inv_idcg, float inv_samples, const std::vector<float>& discount) {
  const float delta = inv_idcg * std::fabs(gain_diff * (discount[hi] - discount[lo]));
  const float step = inv_samples * -(rho * delta);
  const float hess_step = inv_samples * (curvature * delta);
  group_acc[hi].grad += step;
  group_acc[lo].grad -= step;
  group_acc[hi].hess += hess_step;
  group_acc[lo].hess += hess_step;
}

// Pairwise work on every row in every sample: a thread repays its wake-up from a few hundred rows.
constexpr std::size_t kRowsPerThread = 512;

// Adds the updates of groups first_group .. last_group - 1 into their rows of `acc`; the noise
// keys use each group's index among all groups, so a group's draws do not depend on the piece.
void accumulate_yetirank(std::span<const std::size_t> boundaries, std::size_t first_group, std::size_t last_group,
                         std::span<const float> scores, std::span<const float> labels, std::size_t num_samples,
                         std::uint64_t seed, std::span<GradientPair> acc) {
  if (num_samples == 0) return;
  const float inv_samples = 1.0f / static_cast<float>(num_samples);
  RankingScratch scratch;
  std::vector<CachedPair> cache;
  for (std::size_t g = first_group; g < last_group; ++g) {
    const std::size_t begin = boundaries[g];
    const std::size_t rows = boundaries[g + 1] - begin;
    if (rows < 2) continue;
    const std::span<const float> group_labels = labels.subspan(begin, rows);
    const std::span<const float> group_scores = scores.subspan(begin, rows);
    const std::span<GradientPair> group_acc = acc.subspan(begin, rows);
    const float idcg = ideal_dcg(group_labels, rows, scratch.sorted_labels);
    if (idcg <= 0.0f) continue;
    const float inv_idcg = 1.0f / idcg;
    fill_gains(group_labels, scratch);
    const std::vector<float>& gain = scratch.gain;

    // Pairs with different labels, in the order every sample visits them (i ascending, then j).
    auto for_each_pair = [&](auto&& visit) {
      for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = i + 1; j < rows; ++j) {
          if (group_labels[i] == group_labels[j]) continue;
          const bool i_better = group_labels[i] > group_labels[j];
          visit(i_better ? i : j, i_better ? j : i);
        }
      }
    };
    const bool cached = rows / 2 <= kMaxCachedPairs / (rows - 1);  // rows * (rows - 1) / 2 <= limit
    if (cached) {
      cache.clear();
      for_each_pair([&](std::size_t hi, std::size_t lo) {
        const float rho = pair_weight(group_scores[hi] - group_scores[lo]);
        cache.push_back(CachedPair{hi, lo, rho, rho * (1.0f - rho), gain[hi] - gain[lo]});
      });
    }

    for (std::size_t s = 0; s < num_samples; ++s) {
      scratch.perturbed.resize(rows);
      for (std::size_t i = 0; i < rows; ++i) scratch.perturbed[i] = group_scores[i] + yetirank_noise(seed, g, s, i);
      rank_by_score(scratch.perturbed, scratch);
      fill_discounts(scratch);
      if (cached) {
        for (const CachedPair& p : cache) {
          add_pair(group_acc, p.hi, p.lo, p.rho, p.curvature, p.gain_diff, inv_idcg, inv_samples, scratch.discount);
        }
      } else {
        for_each_pair([&](std::size_t hi, std::size_t lo) {
          const float rho = pair_weight(group_scores[hi] - group_scores[lo]);
          add_pair(group_acc, hi, lo, rho, rho * (1.0f - rho), gain[hi] - gain[lo], inv_idcg, inv_samples,
                   scratch.discount);
        });
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
  ranking_gradients_into(predictions, targets, layout_.train_boundaries, out, kRowsPerThread,
                         [&](std::size_t first_group, std::size_t last_group, std::span<GradientPair> acc) {
                           accumulate_yetirank(layout_.train_boundaries, first_group, last_group, predictions, targets,
                                               num_samples_, seed_, acc);
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

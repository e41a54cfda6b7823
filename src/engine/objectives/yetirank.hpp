// YetiRank: LambdaMART-style pair updates averaged over several re-rankings of each group, each
// ranking the scores perturbed by uniform noise in [-0.5, 0.5]. The noise of a row is a keyed hash
// of (seed, group, sample, position), so equal scores always give equal gradients.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/objectives/contract.hpp"
#include "engine/objectives/ranking_groups.hpp"

namespace kestrune::engine::objectives {

// The splitmix64 finaliser.
inline std::uint64_t splitmix64_mix(std::uint64_t z) noexcept {
  z ^= z >> 30;
  z *= 0xBF58476D1CE4E5B9ULL;
  z ^= z >> 27;
  z *= 0x94D049BB133111EBULL;
  z ^= z >> 31;
  return z;
}

// Noise added to the score of row `position` (0-based within its group) of group `group` in sample
// `sample`; within [-0.5, 0.5].
float yetirank_noise(std::uint64_t seed, std::size_t group, std::size_t sample, std::size_t position) noexcept;

// Sample weights are ignored by every operation. Groups of fewer than two rows or without a
// positive ideal DCG, and every group when there are no samples, get gradient 0 and the 1e-7
// hessian floor.
class YetiRankObjective : public GroupedObjective<YetiRankObjective> {
 public:
  YetiRankObjective(std::span<const std::uint32_t> train_group_ids, std::size_t num_samples, std::uint64_t seed)
      : GroupedObjective(train_group_ids), num_samples_(num_samples), seed_(seed) {}

  std::size_t num_samples() const noexcept { return num_samples_; }
  std::uint64_t seed() const noexcept { return seed_; }

  std::vector<GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                              const Weights& weights) const;
  float initial_prediction(std::span<const float> targets, const Weights& weights) const;
  // The checked gradients, written into the caller's buffer.
  void compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                              const Weights& weights, std::vector<GradientPair>& out) const;
  // As LambdaMART: 1 - mean NDCG of the unperturbed scores.
  float loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights) const;
  float loss_with_boundaries(std::span<const float> predictions, std::span<const float> targets,
                             const Weights& weights, std::span<const std::size_t> boundaries) const;

 private:
  std::size_t num_samples_;
  std::uint64_t seed_;
};

}  // namespace kestrune::engine::objectives

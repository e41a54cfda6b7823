// RankNet pairwise ranking: every pair of rows of a query group with different labels pulls the
// better row up and the other down by the pair's logistic weight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "engine/objectives/contract.hpp"
#include "engine/objectives/ranking_groups.hpp"

namespace kestrune::engine::objectives {

// Unfloored (gradients, hessians), one entry per prediction; rows of single-row groups and pairs
// of equal labels contribute nothing.
std::pair<std::vector<float>, std::vector<float>> pairwise_gradients(std::span<const std::size_t> boundaries,
                                                                     std::span<const float> predictions,
                                                                     std::span<const float> labels);

// Sample weights are ignored by every operation.
class PairwiseRankingObjective : public GroupedObjective<PairwiseRankingObjective> {
 public:
  explicit PairwiseRankingObjective(std::span<const std::uint32_t> train_group_ids)
      : GroupedObjective(train_group_ids) {}

  // pairwise_gradients over the train boundaries, hessians floored at 1e-7, each pair checked.
  std::vector<GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                              const Weights& weights) const;
  float initial_prediction(std::span<const float> targets, const Weights& weights) const;
  // The same values without the pair check.
  void compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                              const Weights& weights, std::vector<GradientPair>& out) const;
  float loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights) const;
  // Mean logistic loss ln(1 + exp(-(s_hi - s_lo))) over the pairs with different labels; 0 when
  // there is no such pair.
  float loss_with_boundaries(std::span<const float> predictions, std::span<const float> targets,
                             const Weights& weights, std::span<const std::size_t> boundaries) const;
};

}  // namespace kestrune::engine::objectives

// Query RMSE: squared-error gradients, scored as the mean over query groups of each group's RMSE.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/objectives/contract.hpp"
#include "engine/objectives/ranking_groups.hpp"

namespace kestrune::engine::objectives {

class QueryRMSEObjective : public GroupedObjective<QueryRMSEObjective> {
 public:
  explicit QueryRMSEObjective(std::span<const std::uint32_t> train_group_ids) : GroupedObjective(train_group_ids) {}

  // The squared-error gradients and initial prediction, with all their checks (weights are used).
  std::vector<GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                              const Weights& weights) const;
  float initial_prediction(std::span<const float> targets, const Weights& weights) const;
  // The checked gradients again: weights and pairs are checked every round on this path.
  void compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                              const Weights& weights, std::vector<GradientPair>& out) const;
  // loss_with_boundaries over the boundaries resolved for the predictions' length.
  float loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights) const;
  // Mean of the groups' RMSE (each over its row count, weights scaling the squared errors);
  // groups count equally whatever their size. Empty groups have no error to measure and are left
  // out of the mean; with no rows at all the loss is 0.
  float loss_with_boundaries(std::span<const float> predictions, std::span<const float> targets,
                             const Weights& weights, std::span<const std::size_t> boundaries) const;
};

}  // namespace kestrune::engine::objectives

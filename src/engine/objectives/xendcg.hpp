// XeNDCG: listwise cross-entropy between the softmax of the scores and the softmax of the labels
// within each query group. Deterministic: the label distribution is the plain softmax.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/objectives/contract.hpp"
#include "engine/objectives/ranking_groups.hpp"

namespace kestrune::engine::objectives {

// m + ln(sum exp(v - m)) with m the largest non-NaN value; 0.0 when m is infinite or every value
// is NaN (or there are none), so an infinite label cannot poison the whole group's distribution.
float log_sum_exp(std::span<const float> values);

// Sample weights are ignored by every operation. Groups of fewer than two rows get gradient 0 and
// the 1e-7 hessian floor.
class XeNDCGObjective : public GroupedObjective<XeNDCGObjective> {
 public:
  explicit XeNDCGObjective(std::span<const std::uint32_t> train_group_ids) : GroupedObjective(train_group_ids) {}

  std::vector<GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                              const Weights& weights) const;
  float initial_prediction(std::span<const float> targets, const Weights& weights) const;
  // The checked gradients, written into the caller's buffer.
  void compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                              const Weights& weights, std::vector<GradientPair>& out) const;
  float loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights) const;
  // Sum of the groups' cross-entropies divided by the number of groups (groups of fewer than two
  // rows count and contribute 0); 0 without groups.
  float loss_with_boundaries(std::span<const float> predictions, std::span<const float> targets,
                             const Weights& weights, std::span<const std::size_t> boundaries) const;
};

}  // namespace kestrune::engine::objectives

// LambdaMART with NDCG: pairwise logistic terms weighted by the NDCG change of swapping the two
// rows in the order the current scores give. Scored as 1 - mean NDCG.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "engine/objectives/contract.hpp"
#include "engine/objectives/ndcg.hpp"
#include "engine/objectives/ranking_groups.hpp"

namespace kestrune::engine::objectives {

// Sample weights are ignored by every operation. Groups without a positive ideal DCG (all labels
// equal to 0, for one) get no update: gradient 0 and the 1e-7 hessian floor.
class LambdaMARTObjective : public GroupedObjective<LambdaMARTObjective> {
 public:
  explicit LambdaMARTObjective(std::span<const std::uint32_t> train_group_ids)
      : GroupedObjective(train_group_ids), ideal_dcgs_(std::make_shared<IdealDcgCache>()) {}

  std::vector<GradientPair> compute_gradients(std::span<const float> predictions, std::span<const float> targets,
                                              const Weights& weights) const;
  float initial_prediction(std::span<const float> targets, const Weights& weights) const;
  // The checked gradients, written into the caller's buffer.
  void compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                              const Weights& weights, std::vector<GradientPair>& out) const;
  // compute_gradients_into, returning loss(predictions, targets, weights) as well: the gradient
  // pass already ranks every group by the scores, which is most of what the loss does.
  float compute_gradients_and_loss_into(std::span<const float> predictions, std::span<const float> targets,
                                        const Weights& weights, std::vector<GradientPair>& out) const;
  float loss(std::span<const float> predictions, std::span<const float> targets, const Weights& weights) const;
  // 1 - mean NDCG over the groups of `boundaries`.
  float loss_with_boundaries(std::span<const float> predictions, std::span<const float> targets,
                             const Weights& weights, std::span<const std::size_t> boundaries) const;

  // The groups' ideal DCGs depend on their labels alone, which stay the same round after round:
  // each is kept with a copy of the labels it came from and reused while they still match. One
  // call at a time uses it; a call made meanwhile computes its own.
  struct IdealDcgCache {
    std::mutex in_use;
    std::vector<float> labels;
    std::vector<float> ideal_dcg;  // per group; valid where `labels` holds the group's labels
    std::vector<std::uint8_t> known;
  };

 private:
  std::shared_ptr<IdealDcgCache> ideal_dcgs_;
};

namespace detail {

// How many pairs the gradient pass works on at once: 8 where the processor has AVX2, else 4.
// Either gives the same floats.
std::size_t lambda_lanes();

// Adds the lambdas of one group with a positive ideal DCG (1 / its ideal DCG is `inv_idcg`) into
// `group_acc`, zeroed beforehand, `lanes` pairs at a time (4, or lambda_lanes()); `scratch` holds
// the group's order by score, gains and discounts (rank_by_score, fill_gains, fill_discounts).
void accumulate_group_lambdas(std::size_t lanes, std::span<const float> labels, std::span<const float> scores,
                              float inv_idcg, RankingScratch& scratch, std::span<GradientPair> group_acc);

}  // namespace detail
}  // namespace kestrune::engine::objectives

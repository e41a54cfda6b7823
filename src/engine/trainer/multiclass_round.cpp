#include "engine/trainer/multiclass_round.hpp"

#include "engine/trainer/loop_round.hpp"
#include "engine/trainer/multiclass_setup.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::trainer {

MultiClassValidation make_multiclass_validation(const ValidationSet& set, std::span<const float> baselines,
                                                std::span<const std::vector<TrainedStump>> class_stumps) {
  support::invariant(set.dataset != nullptr && set.binned != nullptr, "validation set without its data");
  MultiClassValidation validation;
  validation.dataset = set.dataset;
  validation.binned = set.binned;
  if (set.dataset->sample_weights) validation.weights = std::span<const float>(*set.dataset->sample_weights);
  validation.raw = raw_feature_rows(*set.dataset);
  validation.predictions = multiclass_start_predictions(baselines, class_stumps, *set.binned, validation.raw);
  return validation;
}

float multiclass_validation_loss(const objectives::MultiClassSoftmaxObjective& objective,
                                 const MultiClassValidation& validation) {
  return objective.loss(validation.predictions, validation.dataset->targets, validation.weights);
}

void compute_class_gradients(const objectives::MultiClassSoftmaxObjective& objective,
                             const std::vector<std::vector<float>>& margins, std::span<const float> targets,
                             const objectives::Weights& weights, const FactorProjector* projector,
                             std::vector<std::vector<core::GradientPair>>& gradients,
                             std::vector<std::optional<float>>& pre_projection_norms) {
  support::invariant(gradients.size() == margins.size() && pre_projection_norms.size() == margins.size(),
                     "one gradient list and norm per class");
  for (std::size_t k = 0; k < margins.size(); ++k) {
    objective.compute_gradients_for_class(margins, targets, weights, k, gradients[k]);
    pre_projection_norms[k].reset();
    if (projector != nullptr) {
      pre_projection_norms[k] = finite_gradient_l2_norm(gradients[k]);
      projector->project_gradient_pairs_in_place(gradients[k]);
    }
  }
}

void drop_round_trees(std::vector<std::vector<TrainedStump>>& class_stumps,
                      std::span<const std::size_t> counts_before) {
  support::invariant(class_stumps.size() == counts_before.size(), "one count per class list");
  for (std::size_t k = 0; k < class_stumps.size(); ++k) {
    support::invariant(counts_before[k] <= class_stumps[k].size(), "a class list shrank during the round");
    class_stumps[k].resize(counts_before[k]);
  }
}

std::span<const TrainedStump> round_trees_of_class(const std::vector<TrainedStump>& stumps, std::size_t count_before) {
  support::invariant(count_before <= stumps.size(), "a class list shrank during the round");
  return std::span<const TrainedStump>(stumps).subspan(count_before);
}

void add_round_to_validation(MultiClassValidation& validation,
                             std::span<const std::vector<TrainedStump>> class_stumps,
                             std::span<const std::size_t> counts_before) {
  support::invariant(
      class_stumps.size() == validation.predictions.size() && counts_before.size() == class_stumps.size(),
      "one validation margin vector and count per class");
  for (std::size_t k = 0; k < class_stumps.size(); ++k) {
    apply_round_stumps_tree_walk(validation.predictions[k], *validation.binned,
                                 round_trees_of_class(class_stumps[k], counts_before[k]), validation.raw);
  }
}

}  // namespace kestrune::engine::trainer

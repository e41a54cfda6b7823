// The per-round steps of the multiclass loop that do not involve the tree grower: every class's
// gradient pairs at the current margins, taking a rejected round's trees back off the class
// lists, and following the validation set with a kept round's trees.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/binned.hpp"
#include "core/dataset.hpp"
#include "core/histogram.hpp"
#include "engine/factor.hpp"
#include "engine/objectives/contract.hpp"
#include "engine/objectives/multiclass.hpp"
#include "engine/round.hpp"
#include "engine/trained_stump.hpp"
#include "engine/trainer/fit_request.hpp"

namespace kestrune::engine::trainer {

// A held-out set followed through a multiclass fit: one margin vector per class.
struct MultiClassValidation {
  const core::TrainingDataset* dataset = nullptr;
  const core::BinnedMatrix* binned = nullptr;
  objectives::Weights weights;
  std::optional<RawFeatureRows> raw;
  std::vector<std::vector<float>> predictions;  // [class][validation row]
};

// Margins start at each class's baseline plus its warm-start trees, as on the training side.
MultiClassValidation make_multiclass_validation(const ValidationSet& set, std::span<const float> baselines,
                                                std::span<const std::vector<TrainedStump>> class_stumps);

float multiclass_validation_loss(const objectives::MultiClassSoftmaxObjective& objective,
                                 const MultiClassValidation& validation);

// Class k's pairs at `margins` into gradients[k], for every class in order. With a projector the
// pairs are neutralized and pre_projection_norms[k] holds their finite-gradient L2 norm from
// before; without one it is absent. Errors of the objective and the projector pass through.
void compute_class_gradients(const objectives::MultiClassSoftmaxObjective& objective,
                             const std::vector<std::vector<float>>& margins, std::span<const float> targets,
                             const objectives::Weights& weights, const FactorProjector* projector,
                             std::vector<std::vector<core::GradientPair>>& gradients,
                             std::vector<std::optional<float>>& pre_projection_norms);

// Cuts each class list back to its length before the round.
void drop_round_trees(std::vector<std::vector<TrainedStump>>& class_stumps,
                      std::span<const std::size_t> counts_before);

// The stumps class `k` added in the round: those past `count_before`.
std::span<const TrainedStump> round_trees_of_class(const std::vector<TrainedStump>& stumps, std::size_t count_before);

// Adds each class's new tree to its validation margins, walking it with its stored weight.
void add_round_to_validation(MultiClassValidation& validation,
                             std::span<const std::vector<TrainedStump>> class_stumps,
                             std::span<const std::size_t> counts_before);

}  // namespace kestrune::engine::trainer

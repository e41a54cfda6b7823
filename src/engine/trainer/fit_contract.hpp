// The dry run every single-output fit makes before its first round: the objective's starting
// score must be finite, and its gradient pairs at that score (neutralized as the rounds will
// neutralize them) must be one valid pair per row. Nothing is trained when it fails.
#pragma once

#include <cmath>
#include <optional>
#include <span>
#include <vector>

#include "core/config.hpp"
#include "core/dataset.hpp"
#include "core/histogram.hpp"
#include "engine/error.hpp"
#include "engine/objectives/contract.hpp"
#include "engine/trainer/fit_objective.hpp"
#include "engine/trainer/trainer.hpp"
#include "engine/trainer/validate.hpp"

namespace kestrune::engine::trainer {

struct FitContractResult {
  std::vector<core::GradientPair> gradients;  // one per row, neutralized where configured
  float initial_prediction = 0.0f;            // finite
};

// The dataset's sample weights as the objectives take them.
inline objectives::Weights dataset_weights(const core::TrainingDataset& dataset) {
  if (!dataset.sample_weights) return std::nullopt;
  return std::span<const float>(*dataset.sample_weights);
}

// The starting score of an objective whose code lives outside the engine, computed without
// calling it: the float64 (weighted) mean of the targets rounded once to float32. No targets,
// an empty weight list, or a weight sum <= 0 give 0.0; a NaN weight sum gives NaN.
float target_mean_initial_prediction(std::span<const float> targets, const objectives::Weights& weights);

// Projects `pairs` against the dataset's factor exposures when the parameters neutralize
// gradients (per_round_gradient, split_penalty); does nothing otherwise. ContractViolation
// "factor_exposures are required when neutralization is active" without exposures; projector
// errors pass through.
void neutralize_contract_gradients(const core::TrainParams& params, const core::TrainingDataset& dataset,
                                   std::vector<core::GradientPair>& pairs);

template <FitObjective O>
float fit_initial_prediction(const O& objective, const core::TrainingDataset& dataset) {
  if constexpr (FitObjectiveTraits<O>::initial_prediction_is_target_mean) {
    return target_mean_initial_prediction(dataset.targets, dataset_weights(dataset));
  } else {
    return objective.initial_prediction(dataset.targets, dataset_weights(dataset));
  }
}

// `dataset` is the dataset the rounds will train on (the pre-target neutralized copy where one
// was made). ContractViolation "objective returned non-finite initial prediction"; the
// objective's, the projector's and validate_gradient_pairs' errors pass through.
template <FitObjective O>
FitContractResult evaluate_fit_contract_on_active_dataset(const Trainer& trainer, const core::TrainingDataset& dataset,
                                                          const O& objective) {
  const float initial = fit_initial_prediction(objective, dataset);
  if (!std::isfinite(initial)) throw EngineError::contract_violation("objective returned non-finite initial prediction");
  const std::size_t row_count = dataset.matrix.row_count;
  const std::vector<float> predictions(row_count, initial);
  std::vector<core::GradientPair> pairs = objective.compute_gradients(predictions, dataset.targets, dataset_weights(dataset));
  neutralize_contract_gradients(trainer.params(), dataset, pairs);
  validate_gradient_pairs(pairs, row_count);
  return {std::move(pairs), initial};
}

}  // namespace kestrune::engine::trainer

#include "engine/trainer/fit_contract.hpp"

#include <algorithm>

#include "engine/factor.hpp"

namespace kestrune::engine::trainer {

float target_mean_initial_prediction(std::span<const float> targets, const objectives::Weights& weights) {
  if (targets.empty()) return 0.0f;
  if (!weights) {
    double sum = 0.0;
    for (const float target : targets) sum += static_cast<double>(target);
    return static_cast<float>(sum / static_cast<double>(targets.size()));
  }
  if (weights->empty()) return 0.0f;
  double weight_sum = 0.0;
  for (const float weight : *weights) weight_sum += static_cast<double>(weight);
  // A NaN sum falls through on purpose: the NaN result is refused as a non-finite start.
  if (weight_sum <= 0.0) return 0.0f;
  double weighted_sum = 0.0;
  const std::size_t rows = std::min(targets.size(), weights->size());
  for (std::size_t i = 0; i < rows; ++i) {
    weighted_sum += static_cast<double>(targets[i]) * static_cast<double>((*weights)[i]);
  }
  return static_cast<float>(weighted_sum / weight_sum);
}

void neutralize_contract_gradients(const core::TrainParams& params, const core::TrainingDataset& dataset,
                                   std::vector<core::GradientPair>& pairs) {
  const std::optional<core::NeutralizationConfig> config = gradient_neutralization_config(params);
  if (!config) return;
  if (!dataset.factor_exposures) {
    throw EngineError::contract_violation("factor_exposures are required when neutralization is active");
  }
  const FactorProjector projector = FactorProjector::make(*dataset.factor_exposures, dataset_weights(dataset),
                                                          config->factor_neutralization_lambda);
  projector.project_gradient_pairs_in_place(pairs);
}

}  // namespace kestrune::engine::trainer

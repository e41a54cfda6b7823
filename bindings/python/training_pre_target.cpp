#include "training_pre_target.hpp"

#include "engine/error.hpp"
#include "engine/factor.hpp"

namespace kestrune::python {

using engine::EngineError;

void validate_bridge_pre_target_neutralization_support(const core::TrainParams& params, std::string_view objective,
                                                       bool has_custom_objective, bool has_validation_targets) {
  if (core::neutralization_kind(params) != core::NeutralizationKind::PreTarget) return;
  if (objective != "squared_error" || has_custom_objective) {
    throw EngineError::contract_violation(
        "neutralization='pre_target' is only supported for GBMRegressor squared-error training");
  }
  if (has_validation_targets) {
    throw EngineError::contract_violation(
        "neutralization='pre_target' does not support validation targets in this release because validation "
        "factor_exposures are not accepted");
  }
}

void apply_bridge_pre_target_neutralization(quantization::PreparedTrainingMatrices& training,
                                            const std::optional<core::NeutralizationConfig>& config) {
  if (!config || config->kind != core::NeutralizationKind::PreTarget) return;
  core::TrainingDataset& dataset = training.dataset;
  engine::apply_pre_target_neutralization(dataset, config->factor_neutralization_lambda);
  dataset.factor_exposures.reset();
}

}  // namespace kestrune::python

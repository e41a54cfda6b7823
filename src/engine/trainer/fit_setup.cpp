#include "engine/trainer/fit_setup.hpp"

#include <cmath>
#include <string>

#include "core/validation.hpp"
#include "engine/error.hpp"
#include "engine/trainer/validate.hpp"
#include "engine/trainer/warm_start.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::trainer {
namespace {

void check_validation_set(const ValidationSet& validation, const core::TrainingDataset& training, bool ranking) {
  support::invariant(validation.dataset != nullptr && validation.binned != nullptr,
                     "a validation set needs both its dataset and its bins");
  const core::TrainingDataset& dataset = *validation.dataset;
  validate_training_alignment(dataset, *validation.binned);
  if (dataset.matrix.feature_count != training.matrix.feature_count) {
    throw EngineError::contract_violation("validation feature_count " + std::to_string(dataset.matrix.feature_count) +
                                          " does not match training feature_count " +
                                          std::to_string(training.matrix.feature_count));
  }
  if (ranking && !dataset.group_id) {
    throw EngineError::contract_violation("this objective requires group_id to be provided on the validation dataset");
  }
}

}  // namespace

void validate_quantile_alpha(float alpha) {
  if (!(std::isfinite(alpha) && alpha > 0.0f && alpha < 1.0f)) {
    throw EngineError::invalid_config("quantile_alpha must be finite and in (0.0, 1.0)");
  }
}

void check_fit_inputs(const core::TrainParams& params, const IterationExecutionContext& request,
                      const core::TrainingDataset& training, const core::BinnedMatrix& binned,
                      const FitInputRules& rules) {
  validate_iteration_controls(request.controls);
  if (request.controls.early_stopping_rounds && !request.validation) {
    throw EngineError::invalid_config("validation early stopping requires a validation dataset");
  }
  validate_training_alignment(training, binned);
  if (rules.ranking && !training.group_id) {
    throw EngineError::contract_violation("this objective requires group_id to be provided on the training dataset");
  }
  if (request.validation) check_validation_set(*request.validation, training, rules.ranking);
  with_core_errors([&] { core::validate_train_params(params); });
  if (rules.quantile_alpha) validate_quantile_alpha(*rules.quantile_alpha);
  with_core_errors([&] { core::validate_training_dataset(training); });
  validate_neutralization_fit_contract_for_support(params, training, rules.pre_target_supported);
  validate_warm_start_neutralization_contract(params, request.warm_start.has_value(), training);
  if (request.warm_start) check_warm_start_against_training_data(*request.warm_start, training.matrix.feature_count);
}

}  // namespace kestrune::engine::trainer

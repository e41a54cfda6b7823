#include "engine/trainer/trainer.hpp"

#include <cmath>

#include "engine/error.hpp"

namespace kestrune::engine::trainer {

Trainer Trainer::make(core::TrainParams params) {
  with_core_errors([&] { core::validate_train_params(params); });
  return Trainer(std::move(params));
}

Trainer Trainer::with_categorical_features(std::vector<CategoricalFeature> features) && {
  categorical_features_ = std::move(features);
  return std::move(*this);
}

IterationControls Trainer::default_iteration_controls(std::size_t rounds) const {
  IterationControls controls = IterationControls::make(rounds, params_.min_data_in_leaf, 0, params_.min_split_gain,
                                                       0.0f, 1e6f, 0.0f);
  auto unit_rate = [](float value) { return value > 0.0f && value <= 1.0f; };
  if (!unit_rate(params_.row_subsample)) throw EngineError::invalid_config("row_subsample must be in (0.0, 1.0]");
  controls.row_subsample = params_.row_subsample;
  if (!unit_rate(params_.col_subsample)) throw EngineError::invalid_config("col_subsample must be in (0.0, 1.0]");
  controls.col_subsample = params_.col_subsample;
  if (params_.early_stopping_rounds) {
    if (*params_.early_stopping_rounds == 0) {
      throw EngineError::invalid_config("early_stopping_rounds must be greater than 0");
    }
    const float improvement = params_.min_validation_improvement;
    if (!std::isfinite(improvement) || !(improvement >= 0.0f)) {
      throw EngineError::invalid_config("min_validation_improvement must be finite and >= 0");
    }
    controls.early_stopping_rounds = *params_.early_stopping_rounds;
    controls.min_validation_improvement = improvement;
  }
  // Without early stopping the improvement threshold has no use and stays 0.0.
  if (params_.max_leaves && *params_.max_leaves < 2) {
    throw EngineError::invalid_config("max_leaves must be >= 2 when set");
  }
  controls.max_leaves = params_.max_leaves;
  return controls;
}

}  // namespace kestrune::engine::trainer

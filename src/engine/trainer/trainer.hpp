// The training driver object: validated parameters plus the native categorical features, and the
// per-fit iteration controls derived from them (the manual defaults and the automatic policy).
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "core/binned.hpp"
#include "core/config.hpp"
#include "core/dataset.hpp"
#include "engine/types.hpp"

namespace kestrune::engine::trainer {

// (feature index, number of categories) of one native categorical feature; its bins hold the
// category ids 0..count-1.
using CategoricalFeature = std::pair<std::size_t, std::size_t>;

class Trainer {
 public:
  // Validates the parameters; a failure is the core error wrapped as EngineError::Core.
  static Trainer make(core::TrainParams params);

  // Replaces the categorical feature list.
  Trainer with_categorical_features(std::vector<CategoricalFeature> features) &&;

  const core::TrainParams& params() const noexcept { return params_; }
  const std::vector<CategoricalFeature>& categorical_features() const noexcept { return categorical_features_; }

  // The controls the parameters ask for, with no data-driven adjustment. EngineError::InvalidConfig
  // for the first value out of range.
  IterationControls default_iteration_controls(std::size_t rounds) const;

  // The manual controls unless `automatic_policy` is set (and the force-manual switch of the
  // environment is off); otherwise the controls adapted to the data's size, target variance and
  // bin density. `ranking_policy` is set for the ranking objectives.
  IterationControls iteration_controls_for_policy_ext(const core::TrainingDataset& dataset,
                                                      const core::BinnedMatrix& binned, std::size_t rounds,
                                                      bool automatic_policy, bool ranking_policy) const;
  IterationControls iteration_controls_for_policy(const core::TrainingDataset& dataset,
                                                  const core::BinnedMatrix& binned, std::size_t rounds,
                                                  bool automatic_policy) const {
    return iteration_controls_for_policy_ext(dataset, binned, rounds, automatic_policy, false);
  }

 private:
  explicit Trainer(core::TrainParams params) : params_(std::move(params)) {}

  core::TrainParams params_;
  std::vector<CategoricalFeature> categorical_features_;
};

}  // namespace kestrune::engine::trainer

// The four ways to start a single-output fit: plain, with a validation set (and an optional
// per-round metric), from a warm start, or both. Each packs its inputs into a request and runs
// the boosting loop for the objective's type; the result is the loop's, unchanged.
//
// The caller keeps every dataset, binned matrix, the backend, the objective and the metric
// callback alive and unchanged for the call. A warm-start state is consumed in every outcome.
#pragma once

#include <utility>

#include "core/binned.hpp"
#include "core/dataset.hpp"
#include "engine/backend_ops.hpp"
#include "engine/trainer/fit_objective.hpp"
#include "engine/trainer/fit_request.hpp"
#include "engine/trainer/loop.hpp"
#include "engine/trainer/metric_callback.hpp"
#include "engine/trainer/summary.hpp"
#include "engine/trainer/trainer.hpp"
#include "engine/trainer/warm_start.hpp"
#include "engine/types.hpp"

namespace kestrune::engine::trainer {

// No validation set: early stopping in the controls fails with "validation early stopping
// requires a validation dataset".
template <FitObjective O, BackendOps Backend>
IterationRunSummary fit_iterations_with_summary(const Trainer& trainer, const core::TrainingDataset& training,
                                                const core::BinnedMatrix& binned, const Backend& backend,
                                                const O& objective, const IterationControls& controls) {
  IterationExecutionContext request{controls, trainer.categorical_features(), std::nullopt, std::nullopt, nullptr};
  return fit_iterations_with_optional_validation_summary(trainer, training, binned, backend, objective,
                                                         std::move(request));
}

// `metric` may be null; when given it is asked for its name and direction once and evaluated
// on the validation predictions after every kept round.
template <FitObjective O, BackendOps Backend>
IterationRunSummary fit_iterations_with_validation_and_metric(
    const Trainer& trainer, const core::TrainingDataset& training, const core::BinnedMatrix& binned,
    const core::TrainingDataset& validation, const core::BinnedMatrix& validation_binned, const Backend& backend,
    const O& objective, const IterationControls& controls, const PerRoundMetricCallback* metric) {
  IterationExecutionContext request{controls, trainer.categorical_features(), std::nullopt,
                                    ValidationSet{&validation, &validation_binned}, metric};
  return fit_iterations_with_optional_validation_summary(trainer, training, binned, backend, objective,
                                                         std::move(request));
}

template <FitObjective O, BackendOps Backend>
IterationRunSummary fit_iterations_warm_start(const Trainer& trainer, const core::TrainingDataset& training,
                                              const core::BinnedMatrix& binned, const Backend& backend,
                                              const O& objective, const IterationControls& controls,
                                              WarmStartState warm_start) {
  IterationExecutionContext request{controls, trainer.categorical_features(), std::move(warm_start), std::nullopt,
                                    nullptr};
  return fit_iterations_with_optional_validation_summary(trainer, training, binned, backend, objective,
                                                         std::move(request));
}

template <FitObjective O, BackendOps Backend>
IterationRunSummary fit_iterations_warm_start_with_validation_and_metric(
    const Trainer& trainer, const core::TrainingDataset& training, const core::BinnedMatrix& binned,
    const core::TrainingDataset& validation, const core::BinnedMatrix& validation_binned, const Backend& backend,
    const O& objective, const IterationControls& controls, WarmStartState warm_start,
    const PerRoundMetricCallback* metric) {
  IterationExecutionContext request{controls, trainer.categorical_features(), std::move(warm_start),
                                    ValidationSet{&validation, &validation_binned}, metric};
  return fit_iterations_with_optional_validation_summary(trainer, training, binned, backend, objective,
                                                         std::move(request));
}

}  // namespace kestrune::engine::trainer

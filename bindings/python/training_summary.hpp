// The NativeTrainingSummary of a fit: the engine's run summary, copied and transformed into the
// record Python reads. A pure conversion: the trained model in the run summary is not touched.
#pragma once

#include <string_view>

#include "engine/trainer/multiclass_summary.hpp"
#include "engine/trainer/summary.hpp"
#include "result_records.hpp"

namespace kestrune::python {

// best_validation_round becomes zero-based (the engine counts kept rounds from 1, and a best
// round 0, the model before any tree, is reported as none); the RMSE lists are the square roots
// of the losses, a negative or NaN loss giving 0.
TrainingSummaryRecord build_native_training_summary(const engine::trainer::IterationRunSummary& run,
                                                    std::string_view objective, double bridge_prepare_seconds,
                                                    double native_train_seconds);
// The same mapping for a multiclass fit (which never has a custom metric).
TrainingSummaryRecord build_native_training_summary_from_multiclass(
    const engine::trainer::MultiClassIterationRunSummary& run, std::string_view objective,
    double bridge_prepare_seconds, double native_train_seconds);

}  // namespace kestrune::python

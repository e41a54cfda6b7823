#include "training_summary.hpp"

#include <cmath>
#include <span>
#include <string>
#include <vector>

namespace kestrune::python {
namespace {

std::vector<float> rmse_of(std::span<const float> losses) {
  std::vector<float> rmse(losses.size());
  // fmax returns 0 for a NaN loss; a negative loss (even -0) also gives 0.
  for (std::size_t i = 0; i < losses.size(); ++i) rmse[i] = std::sqrt(std::fmax(losses[i], 0.0f));
  return rmse;
}

IterationDiagnosticsRecord diagnostics_record(const engine::IterationDiagnostics& round) {
  return IterationDiagnosticsRecord{round.gradient_l2_norm,
                                    round.gradient_variance,
                                    round.hessian_l2_norm,
                                    round.original_gradient_l2_norm,
                                    round.projected_gradient_l2_norm,
                                    round.neutralization_effectiveness,
                                    round.n_active_rows,
                                    round.n_active_features};
}

// Both run summaries name their statistics alike.
template <typename Run>
TrainingSummaryRecord summary_of(const Run& run, std::string_view objective, double bridge_prepare_seconds,
                                 double native_train_seconds) {
  TrainingSummaryRecord summary;
  summary.rounds_requested = run.rounds_requested;
  summary.rounds_completed = run.rounds_completed;
  if (run.best_validation_round && *run.best_validation_round > 0) {
    summary.best_validation_round = *run.best_validation_round - 1;
  }
  summary.best_validation_loss = run.best_validation_loss;
  summary.train_rmse = rmse_of(run.train_loss);
  summary.validation_rmse = rmse_of(run.validation_loss);
  summary.train_loss = run.train_loss;
  summary.validation_loss = run.validation_loss;
  summary.objective = std::string(objective);
  summary.stop_reason = std::string(engine::stop_reason_name(run.stop_reason));
  summary.bridge_prepare_seconds = bridge_prepare_seconds;
  summary.native_train_seconds = native_train_seconds;
  summary.custom_metric_values = run.custom_metric_values;
  summary.custom_metric_name = run.custom_metric_name;
  summary.diagnostics_per_round.reserve(run.diagnostics_per_round.size());
  for (const engine::IterationDiagnostics& round : run.diagnostics_per_round) {
    summary.diagnostics_per_round.push_back(diagnostics_record(round));
  }
  return summary;
}

}  // namespace

TrainingSummaryRecord build_native_training_summary(const engine::trainer::IterationRunSummary& run,
                                                    std::string_view objective, double bridge_prepare_seconds,
                                                    double native_train_seconds) {
  return summary_of(run, objective, bridge_prepare_seconds, native_train_seconds);
}

TrainingSummaryRecord build_native_training_summary_from_multiclass(
    const engine::trainer::MultiClassIterationRunSummary& run, std::string_view objective,
    double bridge_prepare_seconds, double native_train_seconds) {
  return summary_of(run, objective, bridge_prepare_seconds, native_train_seconds);
}

}  // namespace kestrune::python

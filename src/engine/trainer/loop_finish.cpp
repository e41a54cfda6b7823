#include "engine/trainer/loop_finish.hpp"

#include <algorithm>
#include <utility>

#include "engine/tree_node.hpp"
#include "engine/trainer/validate.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::trainer {

FinalLosses truncate_to_best_round(LoopOutcome& outcome) {
  FinalLosses finals{outcome.last_train_loss, outcome.last_validation_loss, outcome.rounds_run};
  std::optional<std::size_t> best_round;
  if (outcome.stop_reason == IterationStopReason::ValidationLossPlateau) best_round = outcome.best_validation_round;
  if (outcome.stop_reason == IterationStopReason::CustomMetricPlateau) best_round = outcome.best_metric_round;
  if (!best_round || *best_round >= outcome.rounds_run) return finals;

  RoundHistories& histories = outcome.histories;
  const std::size_t kept_rounds = histories.accepted_through_round(*best_round);
  const std::size_t keep =
      outcome.warm_stump_count + retained_stump_count_for_rounds(histories.stump_counts, kept_rounds);
  support::invariant(keep <= outcome.stumps.size(), "kept stumps exceed the trained stumps");
  outcome.stumps.resize(keep);
  histories.keep_first(kept_rounds);
  outcome.low_improvement_rounds = std::min(outcome.low_improvement_rounds, kept_rounds);
  if (outcome.dart) renormalize_dart_after_truncation(*outcome.dart, kept_rounds, outcome.dart_normalize_type);

  finals.rounds_completed = *best_round;
  if (kept_rounds == 0) {
    finals.train = outcome.initial_train_loss;
    finals.validation = outcome.initial_validation_loss;
  } else {
    support::invariant(kept_rounds <= histories.train_loss.size(), "fewer training losses than kept rounds");
    finals.train = histories.train_loss[kept_rounds - 1];
    if (outcome.initial_validation_loss) {
      support::invariant(kept_rounds <= histories.validation_loss.size(), "fewer validation losses than kept rounds");
      finals.validation = histories.validation_loss[kept_rounds - 1];
    }
  }
  return finals;
}

void write_dart_weights(LoopOutcome& outcome) {
  if (outcome.dart) write_dart_weights_into_stumps(outcome.stumps, outcome.dart->weights());
}

IterationRunSummary assemble_run_summary(LoopOutcome&& outcome, const FinalLosses& finals, std::size_t rounds_requested,
                                         const ModelDescription& description) {
  support::invariant(description.params != nullptr && description.training_matrix != nullptr,
                     "model description without its parameters or matrix");
  const core::TrainParams& params = *description.params;
  const core::DatasetMatrix& matrix = *description.training_matrix;

  IterationRunSummary summary;
  TrainedModel& model = summary.model;
  model.stumps = std::move(outcome.stumps);
  model.feature_count = matrix.feature_count;
  model.base_prediction = description.base_score;
  model.objective = std::string(description.objective_name);
  if (params.dro_config) model.dro_metadata = core::DroMetadata{params.dro_config->radius, params.dro_config->metric};
  if (params.leaf_model == core::LeafModel::Linear) {
    model.feature_baseline = compute_feature_means_from_matrix(matrix.values, matrix.feature_count, matrix.row_count);
  }

  RoundHistories& histories = outcome.histories;
  summary.best_validation_round = outcome.best_validation_round;
  summary.train_loss = std::move(histories.train_loss);
  summary.validation_loss = std::move(histories.validation_loss);
  summary.active_rows_per_round = std::move(histories.active_rows);
  summary.active_features_per_round = std::move(histories.active_features);
  summary.custom_metric_values = std::move(histories.metric_values);
  summary.diagnostics_per_round = std::move(histories.diagnostics);
  summary.custom_metric_name = std::move(outcome.metric_name);
  summary.initial_validation_loss = outcome.initial_validation_loss;
  summary.best_validation_loss = outcome.best_validation_loss;
  summary.final_validation_loss = finals.validation;
  summary.rounds_requested = rounds_requested;
  summary.rounds_planned = rounds_requested;
  summary.rounds_completed = finals.rounds_completed;
  summary.low_improvement_rounds = outcome.low_improvement_rounds;
  summary.initial_train_loss = outcome.initial_train_loss;
  summary.final_train_loss = finals.train;
  summary.stop_reason = outcome.stop_reason;
  return summary;
}

}  // namespace kestrune::engine::trainer

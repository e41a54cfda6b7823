#include "engine/trainer/multiclass_finish.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::trainer {

MultiClassFinals cut_back_to_best_round(MultiClassOutcome& outcome) {
  RoundHistories& histories = outcome.histories;
  MultiClassFinals finals{outcome.last_train_loss, outcome.last_validation_loss, outcome.rounds_run,
                          histories.accepted_rounds()};
  if (outcome.stop_reason != IterationStopReason::ValidationLossPlateau || !outcome.best_validation_round ||
      *outcome.best_validation_round >= outcome.rounds_run) {
    return finals;
  }
  const std::size_t best_round = *outcome.best_validation_round;
  // Rounds skipped without a tree own no trees and no records, so the best round's number maps
  // to the recorded rounds numbered up to it.
  const std::size_t kept = histories.accepted_through_round(best_round);
  support::invariant(kept <= outcome.round_class_counts.size(), "fewer class counts than recorded rounds");
  for (std::size_t c = 0; c < outcome.class_stumps.size(); ++c) {
    std::size_t keep = outcome.warm_stump_counts[c];
    for (std::size_t round = 0; round < kept; ++round) keep += outcome.round_class_counts[round][c];
    support::invariant(keep <= outcome.class_stumps[c].size(), "kept stumps exceed the trained stumps");
    outcome.class_stumps[c].resize(keep);
  }
  outcome.round_class_counts.resize(kept);
  histories.keep_first(kept);

  finals.rounds_completed = best_round;
  finals.kept_rounds = kept;
  if (kept == 0) {
    finals.train = outcome.initial_train_loss;
    finals.validation = outcome.initial_validation_loss;
  } else {
    finals.train = histories.train_loss[kept - 1];
    support::invariant(kept <= histories.validation_loss.size(), "fewer validation losses than kept rounds");
    finals.validation = histories.validation_loss[kept - 1];
  }
  return finals;
}

MultiClassIterationRunSummary assemble_multiclass_summary(MultiClassOutcome&& outcome, const MultiClassFinals& finals,
                                                          const MultiClassRunShape& shape) {
  support::invariant(shape.params != nullptr, "multiclass run shape without its parameters");
  MultiClassIterationRunSummary summary;
  summary.baselines = std::move(outcome.baselines);
  summary.class_stumps = std::move(outcome.class_stumps);
  summary.num_classes = shape.num_classes;
  summary.feature_count = shape.feature_count;
  summary.rounds_requested = shape.rounds_requested;
  summary.rounds_planned = shape.rounds_requested;
  summary.rounds_completed = finals.rounds_completed;
  summary.rounds_completed_u32 = support::wrapping_cast<std::uint32_t>(finals.rounds_completed);
  constexpr std::size_t kU32Max = std::numeric_limits<std::uint32_t>::max();
  const std::size_t total = shape.rounds_requested > kU32Max - std::min(shape.warm_rounds, kU32Max)
                                ? kU32Max
                                : shape.warm_rounds + shape.rounds_requested;
  summary.total_iterations = static_cast<std::uint32_t>(total);
  summary.best_validation_round = outcome.best_validation_round;
  summary.best_validation_loss = outcome.best_validation_loss;
  summary.initial_validation_loss = outcome.initial_validation_loss;
  summary.final_validation_loss = finals.validation;
  summary.initial_train_loss = outcome.initial_train_loss;
  summary.final_train_loss = finals.train;
  RoundHistories& histories = outcome.histories;
  summary.train_loss = std::move(histories.train_loss);
  summary.validation_loss = std::move(histories.validation_loss);
  summary.active_rows_per_round = std::move(histories.active_rows);
  summary.active_features_per_round = std::move(histories.active_features);
  summary.diagnostics_per_round = std::move(histories.diagnostics);
  summary.low_improvement_rounds = outcome.low_improvement_rounds;
  summary.stop_reason = outcome.stop_reason;
  const core::TrainParams& params = *shape.params;
  if (params.dro_config) summary.dro_metadata = core::DroMetadata{params.dro_config->radius, params.dro_config->metric};
  return summary;
}

}  // namespace kestrune::engine::trainer

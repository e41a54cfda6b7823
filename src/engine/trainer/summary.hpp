// The result of a single-output fit: the trained model with the run's losses, per-round
// histories, best round and stop reason.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "engine/trained_model.hpp"
#include "engine/types.hpp"

namespace kestrune::engine::trainer {

// Round numbers count this fit's passes (warm-start rounds excluded); round 0 is the model before
// the first pass. Every per-round list holds one entry per kept round.
struct IterationRunSummary {
  // The round of the lowest validation loss; present exactly with a validation set, and not
  // moved by a cut to a best metric round.
  std::optional<std::size_t> best_validation_round;
  TrainedModel model;
  std::vector<float> train_loss;
  std::vector<float> validation_loss;  // empty without a validation set
  std::vector<std::size_t> active_rows_per_round;
  std::vector<std::size_t> active_features_per_round;
  std::vector<float> custom_metric_values;  // empty unless a callback scored a validation set
  std::vector<IterationDiagnostics> diagnostics_per_round;
  std::optional<std::string> custom_metric_name;
  std::optional<float> initial_validation_loss;
  std::optional<float> best_validation_loss;
  std::optional<float> final_validation_loss;  // of the returned model
  std::size_t rounds_requested = 0;
  std::size_t rounds_planned = 0;
  std::size_t rounds_completed = 0;
  // Kept rounds whose training-loss improvement fell short of min_loss_improvement.
  std::size_t low_improvement_rounds = 0;
  float initial_train_loss = 0.0f;
  float final_train_loss = 0.0f;  // of the returned model
  IterationStopReason stop_reason = IterationStopReason::CompletedRequestedRounds;
};

}  // namespace kestrune::engine::trainer

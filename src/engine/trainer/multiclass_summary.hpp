// The result of a multiclass fit: the per-class starting scores and trees with the run's losses,
// per-round histories, best validation round and stop reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/artifact/metadata_payloads.hpp"
#include "core/artifact/morph_metadata.hpp"
#include "engine/multiclass_model.hpp"
#include "engine/trained_stump.hpp"
#include "engine/types.hpp"

namespace kestrune::engine::trainer {

// Round numbers count this fit's passes (warm-start rounds excluded); round 0 is the model before
// the first pass. Every per-round list holds one entry per kept round.
struct MultiClassIterationRunSummary {
  std::vector<float> baselines;                         // the warm start's when continuing
  std::vector<std::vector<TrainedStump>> class_stumps;  // warm-start trees first, then each kept round's
  std::size_t num_classes = 0;
  std::size_t feature_count = 0;
  std::string objective = "multiclass_softmax";
  std::size_t rounds_requested = 0;
  std::size_t rounds_planned = 0;  // the controls' rounds as well, as in the single-output summary
  std::size_t rounds_completed = 0;
  std::uint32_t rounds_completed_u32 = 0;  // rounds_completed wrapped to 32 bits
  // The warm start's rounds plus the requested ones.
  std::uint32_t total_iterations = 0;
  // Present exactly with a validation set.
  std::optional<std::size_t> best_validation_round;
  std::optional<float> best_validation_loss;
  std::optional<float> initial_validation_loss;
  std::optional<float> final_validation_loss;  // of the returned model
  float initial_train_loss = 0.0f;
  float final_train_loss = 0.0f;  // of the returned model
  std::vector<float> train_loss;
  std::vector<float> validation_loss;  // empty without a validation set
  std::vector<std::size_t> active_rows_per_round;
  std::vector<std::size_t> active_features_per_round;
  std::vector<IterationDiagnostics> diagnostics_per_round;  // per-class aggregate of each round
  std::vector<float> custom_metric_values;                  // always empty: no metric callback
  std::optional<std::string> custom_metric_name;            // always absent
  // Kept rounds whose training-loss improvement fell short of min_loss_improvement.
  std::size_t low_improvement_rounds = 0;
  IterationStopReason stop_reason = IterationStopReason::CompletedRequestedRounds;
  std::optional<core::DroMetadata> dro_metadata;
  // Morph runs only: the per-class statistics and configuration at the end of the run, with its
  // completed rounds and the round count of its schedule.
  std::optional<core::MorphMetadata> morph_metadata;
};

// The trained model of a run: its baselines and class trees (moved out of `run`), class count,
// feature count, objective and DRO setting.
MultiClassTrainedModel multiclass_trained_model(MultiClassIterationRunSummary& run);

}  // namespace kestrune::engine::trainer

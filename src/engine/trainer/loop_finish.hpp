// What follows the last round of a single-output fit: the cut back to the best round when early
// stopping ended the run, and the assembly of the trained model and the run summary.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.hpp"
#include "core/dataset.hpp"
#include "engine/dart.hpp"
#include "engine/trained_stump.hpp"
#include "engine/trainer/loop_state.hpp"
#include "engine/trainer/summary.hpp"
#include "engine/types.hpp"

namespace kestrune::engine::trainer {

// Everything the loop hands over when it ends.
struct LoopOutcome {
  std::vector<TrainedStump> stumps;  // the warm-start stumps, then each accepted round's
  std::size_t warm_stump_count = 0;
  RoundHistories histories;
  std::size_t rounds_run = 0;  // passes finished, skipped ones included
  IterationStopReason stop_reason = IterationStopReason::CompletedRequestedRounds;
  std::size_t low_improvement_rounds = 0;
  float initial_train_loss = 0.0f;
  float last_train_loss = 0.0f;  // of the last accepted round, else the initial loss
  // Present exactly with a validation set.
  std::optional<float> initial_validation_loss;
  std::optional<float> best_validation_loss;
  std::optional<float> last_validation_loss;
  std::optional<std::size_t> best_validation_round;
  std::optional<std::size_t> best_metric_round;
  std::optional<std::string> metric_name;
  // With boosting_mode 'dart': the weights and drops by tree position, and how drops rescale.
  std::optional<DartTreeList> dart;
  core::DartNormalizeType dart_normalize_type = core::DartNormalizeType::Tree;
};

struct FinalLosses {
  float train = 0.0f;
  std::optional<float> validation;
  std::size_t rounds_completed = 0;
};

// A run that stopped on a validation-loss plateau is cut back to its best validation round, one
// that stopped on a metric plateau to its best metric round; nothing is cut otherwise, or when
// that round is absent or not before the last pass. The cut keeps the accepted rounds numbered
// up to the best round (passes skipped without a tree own no trees and no records), with the
// warm-start stumps always kept. Under DART the kept rounds' drops are replayed on the warm-start
// weights, so a tree that only a cut-off round had dropped regains its earlier weight. The final
// losses are those of the kept model.
FinalLosses truncate_to_best_round(LoopOutcome& outcome);

// Under DART, every stump takes the weight of its tree's position; other fits keep the growers'.
void write_dart_weights(LoopOutcome& outcome);

// What the model records besides the stumps.
struct ModelDescription {
  float base_score = 0.0f;
  std::string_view objective_name;
  const core::TrainParams* params = nullptr;
  const core::DatasetMatrix* training_matrix = nullptr;  // feature count, and the linear-leaf baseline
};

IterationRunSummary assemble_run_summary(LoopOutcome&& outcome, const FinalLosses& finals, std::size_t rounds_requested,
                                         const ModelDescription& description);

}  // namespace kestrune::engine::trainer

// What follows the last round of a multiclass fit: the per-class cut back to the best round
// when early stopping ended the run, and the assembly of the run summary.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "core/config.hpp"
#include "engine/trained_stump.hpp"
#include "engine/trainer/loop_state.hpp"
#include "engine/trainer/multiclass_summary.hpp"
#include "engine/types.hpp"

namespace kestrune::engine::trainer {

// Everything the multiclass loop hands over when it ends.
struct MultiClassOutcome {
  std::vector<float> baselines;
  std::vector<std::vector<TrainedStump>> class_stumps;  // warm-start trees, then each recorded round's
  std::vector<std::size_t> warm_stump_counts;           // per class
  // Per recorded round, the stumps each class added (histories.stump_counts holds their sum).
  std::vector<std::vector<std::size_t>> round_class_counts;
  RoundHistories histories;
  std::size_t rounds_run = 0;  // rounds finished, skipped ones included
  IterationStopReason stop_reason = IterationStopReason::CompletedRequestedRounds;
  std::size_t low_improvement_rounds = 0;
  float initial_train_loss = 0.0f;
  float last_train_loss = 0.0f;  // of the last recorded round, else the initial loss
  // Present exactly with a validation set.
  std::optional<float> initial_validation_loss;
  std::optional<float> best_validation_loss;
  std::optional<float> last_validation_loss;
  std::optional<std::size_t> best_validation_round;
};

struct MultiClassFinals {
  float train = 0.0f;
  std::optional<float> validation;
  std::size_t rounds_completed = 0;
  // The recorded rounds the returned model keeps.
  std::size_t kept_rounds = 0;
};

// A run that stopped on a validation-loss plateau before its best round's end is cut back to the
// recorded rounds numbered up to the best round: each class keeps its warm-start trees and those
// rounds' trees, and every history keeps those rounds' entries. Nothing is cut otherwise. The
// final losses are those of the kept model.
MultiClassFinals cut_back_to_best_round(MultiClassOutcome& outcome);

struct MultiClassRunShape {
  std::size_t num_classes = 0;
  std::size_t feature_count = 0;
  std::size_t rounds_requested = 0;
  std::size_t warm_rounds = 0;
  const core::TrainParams* params = nullptr;
};

MultiClassIterationRunSummary assemble_multiclass_summary(MultiClassOutcome&& outcome, const MultiClassFinals& finals,
                                                          const MultiClassRunShape& shape);

}  // namespace kestrune::engine::trainer

// The records the single-output loop keeps per accepted round, and the training-loss rules that
// decide whether a round is accepted, skipped or ends the fit.
#pragma once

#include <cstddef>
#include <vector>

#include "engine/types.hpp"

namespace kestrune::engine::trainer {

// One entry per accepted round in every list, except the validation and metric lists, which are
// empty when the fit has no validation set (or no metric callback).
struct RoundHistories {
  std::vector<float> train_loss;
  std::vector<float> validation_loss;
  std::vector<float> metric_values;
  std::vector<std::size_t> active_rows;
  std::vector<std::size_t> active_features;
  std::vector<IterationDiagnostics> diagnostics;
  std::vector<std::size_t> stump_counts;
  // The round number (pass of this fit, counted from 1) of each accepted round, ascending.
  // Passes skipped without a tree have no entry, so the two numberings can differ.
  std::vector<std::size_t> round_numbers;

  std::size_t accepted_rounds() const noexcept { return round_numbers.size(); }
  // How many accepted rounds have a round number <= `round`.
  std::size_t accepted_through_round(std::size_t round) const;
  // Drops every record after the first `count` accepted rounds.
  void keep_first(std::size_t count);
};

enum class TrainingLossVerdict {
  Accept,
  AcceptLowImprovement,  // accepted, but its improvement fell short of the threshold
  SkipPass,              // dropped without ending the fit (morph warm-up only)
  Stop,                  // dropped, and the fit ends with LossImprovementBelowThreshold
};

// The rules of the objectives that judge rounds by their training loss (not the ranking ones).
class TrainingLossRules {
 public:
  // `dart`: the fit drops and rescales earlier trees each round, which raises the training loss
  // by design; only a loss that is not finite is judged then.
  TrainingLossRules(float min_loss_improvement, std::size_t loss_stall_limit, bool dart)
      : min_loss_improvement_(min_loss_improvement), loss_stall_limit_(loss_stall_limit), dart_(dart) {}

  // A round whose loss is not finite, or worse than `previous_loss`, is skipped in warm-up and
  // stops the fit otherwise. Outside warm-up, an improvement below min_loss_improvement x
  // `threshold_scale` is tolerated for loss_stall_limit consecutive rounds, and the next one
  // stops the fit; a sufficient improvement resets the count. In warm-up any improvement is
  // accepted and the count is left alone. Under DART every finite loss is accepted.
  TrainingLossVerdict judge(float previous_loss, float new_loss, bool in_warmup, float threshold_scale);

  std::size_t low_improvement_rounds() const noexcept { return low_improvement_rounds_; }

 private:
  float min_loss_improvement_;
  std::size_t loss_stall_limit_;
  bool dart_;
  std::size_t stall_count_ = 0;
  std::size_t low_improvement_rounds_ = 0;
};

}  // namespace kestrune::engine::trainer

// A held-out validation set followed through the single-output loop: its predictions kept in
// step with the ensemble, and the early-stopping bookkeeping over its loss or over a per-round
// metric.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/binned.hpp"
#include "core/dataset.hpp"
#include "engine/objectives/contract.hpp"
#include "engine/round.hpp"
#include "engine/trained_stump.hpp"
#include "engine/trainer/fit_request.hpp"

namespace kestrune::engine::trainer {

struct ValidationData {
  const core::TrainingDataset* dataset = nullptr;
  const core::BinnedMatrix* binned = nullptr;
  objectives::Weights weights;
  std::optional<RawFeatureRows> raw;
  // The set's own query groups (ranking objectives only; empty otherwise): a validation set is
  // scored with its groups even when it has as many rows as the training set.
  std::vector<std::size_t> group_boundaries;
  std::vector<float> predictions;  // one per validation row
};

// Predictions start at `base_score` plus every tree of `warm_stumps`, as on the training side.
ValidationData make_validation_data(const ValidationSet& set, bool ranking, float base_score,
                                    std::span<const TrainedStump> warm_stumps);

struct ValidationFlags {
  bool loss_plateau = false;
  bool metric_plateau = false;
};

// Early stopping over the validation loss, or over the metric when a callback is given. An
// improvement must exceed min_validation_improvement (float32 differences); a tie or a NaN on
// either side is none, and a NaN never becomes the best.
class ValidationTracker {
 public:
  ValidationTracker(float initial_loss, std::optional<std::size_t> early_stopping_rounds,
                    float min_validation_improvement, bool metric_mode, bool higher_is_better);

  // Round `round` (counted from 1) scored `loss` and, in metric mode, `metric`.
  ValidationFlags record_round(std::size_t round, float loss, std::optional<float> metric);

  float initial_loss() const noexcept { return initial_loss_; }
  float best_loss() const noexcept { return best_loss_; }
  // 0 until a round beats the initial loss (round 0 is the model before the fit).
  std::size_t best_round() const noexcept { return best_round_; }
  float last_loss() const noexcept { return last_loss_; }
  std::optional<std::size_t> best_metric_round() const noexcept { return best_metric_round_; }

 private:
  bool improves(float best, float candidate) const;

  std::optional<std::size_t> early_stopping_rounds_;
  float min_improvement_;
  bool metric_mode_;
  bool higher_is_better_;
  float initial_loss_;
  float best_loss_;
  std::size_t best_round_ = 0;
  float last_loss_;
  std::size_t loss_plateau_count_ = 0;
  std::optional<float> best_metric_;
  std::optional<std::size_t> best_metric_round_;
  std::size_t metric_plateau_count_ = 0;
};

}  // namespace kestrune::engine::trainer

#include "engine/trainer/loop_validation.hpp"

#include <cmath>

#include "engine/objectives/ranking_groups.hpp"
#include "engine/trainer/loop_round.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::trainer {

ValidationData make_validation_data(const ValidationSet& set, bool ranking, float base_score,
                                    std::span<const TrainedStump> warm_stumps) {
  support::invariant(set.dataset != nullptr && set.binned != nullptr, "validation set without its data");
  ValidationData data;
  data.dataset = set.dataset;
  data.binned = set.binned;
  if (set.dataset->sample_weights) data.weights = std::span<const float>(*set.dataset->sample_weights);
  data.raw = raw_feature_rows(*set.dataset);
  if (ranking) {
    support::invariant(set.dataset->group_id.has_value(), "ranking validation set without group_id");
    data.group_boundaries = objectives::compute_group_boundaries(*set.dataset->group_id);
  }
  data.predictions.assign(set.dataset->matrix.row_count, base_score);
  apply_tree_to_binned_predictions(data.predictions, *set.binned, warm_stumps, data.raw);
  return data;
}

ValidationTracker::ValidationTracker(float initial_loss, std::optional<std::size_t> early_stopping_rounds,
                                     float min_validation_improvement, bool metric_mode, bool higher_is_better)
    : early_stopping_rounds_(early_stopping_rounds),
      min_improvement_(min_validation_improvement),
      metric_mode_(metric_mode),
      higher_is_better_(higher_is_better),
      initial_loss_(initial_loss),
      best_loss_(initial_loss),
      last_loss_(initial_loss) {}

bool ValidationTracker::improves(float best, float candidate) const {
  const float gain = higher_is_better_ && metric_mode_ ? candidate - best : best - candidate;
  return gain > min_improvement_;
}

ValidationFlags ValidationTracker::record_round(std::size_t round, float loss, std::optional<float> metric) {
  last_loss_ = loss;
  ValidationFlags flags;
  if (!metric_mode_) {
    if (improves(best_loss_, loss)) {
      loss_plateau_count_ = 0;
      best_loss_ = loss;
      best_round_ = round;
    } else if (early_stopping_rounds_) {
      ++loss_plateau_count_;
    }
    flags.loss_plateau = early_stopping_rounds_ && loss_plateau_count_ >= *early_stopping_rounds_;
    return flags;
  }

  support::invariant(metric.has_value(), "metric mode round without a metric value");
  const float value = *metric;
  const bool better = best_metric_ ? improves(*best_metric_, value) : !std::isnan(value);
  if (better) {
    metric_plateau_count_ = 0;
    best_metric_ = value;
    best_metric_round_ = round;
  } else if (early_stopping_rounds_) {
    ++metric_plateau_count_;
  }
  flags.metric_plateau = early_stopping_rounds_ && metric_plateau_count_ >= *early_stopping_rounds_;
  // The loss is only reported here: its lowest value, the later round winning a tie.
  if (loss < best_loss_) best_loss_ = loss;
  if (best_loss_ == loss) best_round_ = round;
  return flags;
}

}  // namespace kestrune::engine::trainer

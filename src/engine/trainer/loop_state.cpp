#include "engine/trainer/loop_state.hpp"

#include <algorithm>
#include <cmath>

namespace kestrune::engine::trainer {

std::size_t RoundHistories::accepted_through_round(std::size_t round) const {
  return static_cast<std::size_t>(std::upper_bound(round_numbers.begin(), round_numbers.end(), round) -
                                  round_numbers.begin());
}

void RoundHistories::keep_first(std::size_t count) {
  auto cut = [count](auto& list) {
    if (list.size() > count) list.resize(count);
  };
  cut(train_loss);
  cut(validation_loss);
  cut(metric_values);
  cut(active_rows);
  cut(active_features);
  cut(diagnostics);
  cut(stump_counts);
  cut(round_numbers);
}

TrainingLossVerdict TrainingLossRules::judge(float previous_loss, float new_loss, bool in_warmup,
                                             float threshold_scale) {
  // A loss that is not a number (or infinite) says the model broke, not that it improved.
  const float improvement = previous_loss - new_loss;
  if (!std::isfinite(new_loss) || (improvement < 0.0f && !dart_)) {
    return in_warmup ? TrainingLossVerdict::SkipPass : TrainingLossVerdict::Stop;
  }
  if (dart_) return TrainingLossVerdict::Accept;
  if (in_warmup) return TrainingLossVerdict::Accept;
  const float threshold = min_loss_improvement_ * threshold_scale;
  if (improvement < threshold) {
    if (stall_count_ >= loss_stall_limit_) return TrainingLossVerdict::Stop;
    ++stall_count_;
    ++low_improvement_rounds_;
    return TrainingLossVerdict::AcceptLowImprovement;
  }
  stall_count_ = 0;
  return TrainingLossVerdict::Accept;
}

}  // namespace kestrune::engine::trainer

#include "engine/objectives/query_rmse.hpp"

#include <cmath>

#include "engine/objectives/squared.hpp"

namespace kestrune::engine::objectives {

std::vector<GradientPair> QueryRMSEObjective::compute_gradients(std::span<const float> predictions,
                                                                std::span<const float> targets,
                                                                const Weights& weights) const {
  return SquaredErrorObjective{}.compute_gradients(predictions, targets, weights);
}

float QueryRMSEObjective::initial_prediction(std::span<const float> targets, const Weights& weights) const {
  return SquaredErrorObjective{}.initial_prediction(targets, weights);
}

void QueryRMSEObjective::compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                                                const Weights& weights, std::vector<GradientPair>& out) const {
  squared_error_gradients_checked_into(predictions, targets, weights, out);
}

float QueryRMSEObjective::loss(std::span<const float> predictions, std::span<const float> targets,
                               const Weights& weights) const {
  return loss_with_boundaries(predictions, targets, weights, layout_.boundaries_for_len(predictions.size()));
}

float QueryRMSEObjective::loss_with_boundaries(std::span<const float> predictions, std::span<const float> targets,
                                               const Weights& weights,
                                               std::span<const std::size_t> boundaries) const {
  check_lengths(predictions.size(), targets.size(), weights);
  check_group_boundaries(boundaries, predictions.size());
  double rmse_sum = 0.0;
  std::size_t scored_groups = 0;
  for (std::size_t g = 0; g + 1 < boundaries.size(); ++g) {
    const std::size_t begin = boundaries[g];
    const std::size_t end = boundaries[g + 1];
    if (begin == end) continue;
    double squared_sum = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
      const double d = static_cast<double>(predictions[i] - targets[i]);
      squared_sum += weights ? (static_cast<double>((*weights)[i]) * d) * d : d * d;
    }
    rmse_sum += std::sqrt(squared_sum / static_cast<double>(end - begin));
    ++scored_groups;
  }
  if (scored_groups == 0) return 0.0f;
  return static_cast<float>(rmse_sum / static_cast<double>(scored_groups));
}

}  // namespace kestrune::engine::objectives

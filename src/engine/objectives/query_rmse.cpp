#include "engine/objectives/query_rmse.hpp"

#include <cmath>
#include <optional>

#include "engine/objectives/row_parallel.hpp"
#include "engine/objectives/squared.hpp"

namespace kestrune::engine::objectives {
namespace {

// A row of the loss is a subtraction and a multiply-add: only large inputs repay more threads.
// Groups are counted as rows of a typical query.
constexpr std::size_t kLossRowsPerThread = 65536;
constexpr std::size_t kTypicalGroupRows = 32;

}  // namespace

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
  // The groups' RMSEs come from the pool; their sum stays one running total in group order, over
  // the non-empty groups.
  double rmse_sum = 0.0;
  std::size_t scored_groups = 0;
  fold_terms_in_order<std::optional<double>>(
      boundaries.size() - 1, kLossRowsPerThread / kTypicalGroupRows,
      [&](std::size_t g) -> std::optional<double> {
        const std::size_t begin = boundaries[g];
        const std::size_t end = boundaries[g + 1];
        if (begin == end) return std::nullopt;
        double squared_sum = 0.0;
        for (std::size_t i = begin; i < end; ++i) {
          const double d = static_cast<double>(predictions[i] - targets[i]);
          squared_sum += weights ? (static_cast<double>((*weights)[i]) * d) * d : d * d;
        }
        return std::sqrt(squared_sum / static_cast<double>(end - begin));
      },
      [&](const std::optional<double>& rmse) {
        if (!rmse) return;
        rmse_sum += *rmse;
        ++scored_groups;
      });
  if (scored_groups == 0) return 0.0f;
  return static_cast<float>(rmse_sum / static_cast<double>(scored_groups));
}

}  // namespace kestrune::engine::objectives

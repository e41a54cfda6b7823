#include "engine/trainer/loop_refinement.hpp"

#include <algorithm>
#include <cmath>

#include "engine/env.hpp"
#include "engine/objectives/contract.hpp"
#include "engine/trainer/loop_round.hpp"
#include "engine/trainer/validate.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::trainer {
namespace {

objectives::Weights weights_of(const core::TrainingDataset& dataset) {
  if (!dataset.sample_weights) return std::nullopt;
  return std::span<const float>(*dataset.sample_weights);
}

}  // namespace

QuantileRefinementSettings quantile_round_settings(float alpha, const core::TrainParams& params,
                                                   const IterationControls& controls) {
  QuantileRefinementSettings settings;
  settings.alpha = alpha;
  settings.learning_rate = params.learning_rate;
  settings.cap = controls.max_abs_leaf_value;
  return settings;
}

QuantileRefinementSettings morph_quantile_settings(QuantileRefinementSettings settings, const MorphState& morph,
                                                   std::uint64_t iteration, std::uint32_t total_rounds) {
  const float progress = std::fmin(
      static_cast<float>(iteration) / static_cast<float>(std::max(total_rounds, std::uint32_t{1})), 1.0f);
  settings.learning_rate = morph.learning_rate_at(iteration) * (1.0f - progress * morph.config.morph_rate);
  settings.depth_penalty_base = morph.config.depth_penalty_base;
  return settings;
}

void refine_quantile_round(std::span<TrainedStump> tree, const core::BinnedMatrix& binned,
                           std::span<const float> start, std::span<float> working,
                           const core::TrainingDataset& active, const QuantileRefinementSettings& settings) {
  support::invariant(start.size() == working.size(), "working and training predictions differ in length");
  const std::optional<RawFeatureRows> raw = raw_feature_rows(active);
  refine_quantile_leaf_values(tree, binned, start, active.targets, weights_of(active), raw, settings);
  // The grower already added the unrefined tree to the rows it reached; start over from `start`.
  std::copy(start.begin(), start.end(), working.begin());
  apply_round_stumps_tree_walk(working, binned, tree, raw);
}

bool regression_refinement_enabled(const core::TrainParams& params) {
  return experiment_leaf_refinement_enabled() && !gradient_neutralization_config(params);
}

void refine_finished_model(std::vector<TrainedStump>& stumps, std::size_t warm_stump_count,
                           std::span<const std::size_t> round_stump_counts, float base_score,
                           const core::TrainingDataset& active, const core::BinnedMatrix& binned, float cap) {
  support::invariant(warm_stump_count <= stumps.size(), "more warm-start stumps than stumps");
  const objectives::Weights weights = weights_of(active);
  if (warm_stump_count == 0) {
    refine_regression_leaf_values(active.targets, weights, binned, stumps, round_stump_counts, base_score, cap);
    return;
  }
  const std::span<const TrainedStump> warm(stumps.data(), warm_stump_count);
  const std::vector<float> start = model_predictions(base_score, binned, warm, raw_feature_rows(active));
  refine_regression_leaf_values_from(active.targets, weights, binned, stumps, warm_stump_count, start,
                                     round_stump_counts, cap);
}

std::vector<float> model_predictions(float base_score, const core::BinnedMatrix& binned,
                                     std::span<const TrainedStump> stumps, std::optional<RawFeatureRows> raw) {
  std::vector<float> predictions(binned.row_count, base_score);
  apply_tree_to_binned_predictions(predictions, binned, stumps, raw);
  return predictions;
}

void replace_final_losses(RoundHistories& histories, FinalLosses& finals, float train_loss,
                          std::optional<float> validation_loss) {
  if (!histories.train_loss.empty()) histories.train_loss.back() = train_loss;
  finals.train = train_loss;
  if (validation_loss) {
    if (!histories.validation_loss.empty()) histories.validation_loss.back() = *validation_loss;
    finals.validation = validation_loss;
  }
}

}  // namespace kestrune::engine::trainer

// Leaf-value refinement inside the single-output loop. The quantile objective re-fits every new
// tree's leaves to quantiles of the round's residuals before the tree enters the predictions;
// the regression objectives may re-fit the finished model's leaves to residual means once after
// the loop, behind an experiment switch, after which the reported losses are recomputed from the
// refined model so that they describe what the fit returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/binned.hpp"
#include "core/config.hpp"
#include "core/dataset.hpp"
#include "engine/leaf_refinement.hpp"
#include "engine/morph.hpp"
#include "engine/round.hpp"
#include "engine/trained_stump.hpp"
#include "engine/trainer/loop_finish.hpp"
#include "engine/types.hpp"

namespace kestrune::engine::trainer {

// The settings of the per-round quantile refinement: the run's learning rate and leaf-value cap.
QuantileRefinementSettings quantile_round_settings(float alpha, const core::TrainParams& params,
                                                   const IterationControls& controls);

// The settings of one morph round: the schedule's rate for `iteration`, damped by training
// progress (1 - min(iteration / total, 1) x morph_rate), and the morph depth factor.
QuantileRefinementSettings morph_quantile_settings(QuantileRefinementSettings settings, const MorphState& morph,
                                                   std::uint64_t iteration, std::uint32_t total_rounds);

// Re-fits the new tree `tree` on the residuals against `start` (the predictions the round grew it
// on), then rebuilds `working` as `start` plus the refined tree on every row. Errors of the
// refinement leave the tree and `working` as they were.
void refine_quantile_round(std::span<TrainedStump> tree, const core::BinnedMatrix& binned,
                           std::span<const float> start, std::span<float> working,
                           const core::TrainingDataset& active, const QuantileRefinementSettings& settings);

// Whether the regression objectives refine the finished model: the experiment switch is on and
// the run's neutralization does not act on gradients (none or pre-target).
bool regression_refinement_enabled(const core::TrainParams& params);

// Refines the trees this fit grew (the stumps after the first `warm_stump_count`; one count per
// kept round covers them), each at the tree weight its stumps carry. The earlier model's trees
// are kept as they are and count as part of the starting predictions.
void refine_finished_model(std::vector<TrainedStump>& stumps, std::size_t warm_stump_count,
                           std::span<const std::size_t> round_stump_counts, float base_score,
                           const core::TrainingDataset& active, const core::BinnedMatrix& binned, float cap);

// `base_score` on every row plus every tree of `stumps` at its stored tree weight: a fresh
// prediction of the model, as the predictor makes it.
std::vector<float> model_predictions(float base_score, const core::BinnedMatrix& binned,
                                     std::span<const TrainedStump> stumps, std::optional<RawFeatureRows> raw);

// The losses of the refined model replace the last history entries (when there are any) and the
// final losses; the best validation round and loss stay as the rounds found them.
void replace_final_losses(RoundHistories& histories, FinalLosses& finals, float train_loss,
                          std::optional<float> validation_loss);

}  // namespace kestrune::engine::trainer

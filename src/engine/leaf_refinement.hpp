// Leaf refinement: keep a grown tree's splits and re-fit its leaf values on the residuals of the
// training rows that reach each leaf. Gradient-step leaf values are only a Newton approximation;
// for quantile losses they are far from the loss minimiser, and for the regression losses a
// backfitting pass over the finished model can still tighten them.
//
// Every pass works the same way: each row is routed down the tree with the shared routing rule
// (missing bin and categorical splits included) to the leaf it ends in; each leaf gets a new
// absolute output (a weighted mean or a quantile of its rows' residuals, bounded to +-cap); each
// node with a split gets the weight-weighted mean of its children's outputs, bounded again; a
// node no row reaches keeps its current absolute output. The new absolute outputs are then turned
// back into the path increments the split records store. The root's output stays 0.
//
// All errors are EngineError::ContractViolation unless stated; the row walk reports, in this
// order, "tree is missing split for local node 0", "split feature_index {} exceeds feature_count
// {}", "binned cell index overflow" and "binned cell index {} is out of bounds for bins length {}".
// The cap must not be negative (callers pass max_abs_leaf_value or +infinity).
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/binned.hpp"
#include "engine/joint/types.hpp"
#include "engine/objectives/contract.hpp"
#include "engine/round.hpp"
#include "engine/trained_stump.hpp"

namespace kestrune::engine {

// One backfitting sweep over the trees of a finished fit, round by round. `round_stump_counts`
// must cover `stumps` exactly (each round's stumps are one tree); rounds of count 0 are skipped.
// Each tree is re-fitted on the residuals target - base - (all trees - this tree), so later trees
// see the earlier ones already refined. Leaves become weighted means of the residuals, bounded
// by +-cap; linear leaves become constants. No learning rate is applied.
//
// Tree weights are honoured: every tree counts at the tree weight its stumps carry, and its leaves
// are fitted so that weight x leaf matches the residual mean, so the model the caller rebuilds
// with those weights is the refined one. A DART fit therefore writes its final tree weights into
// the stumps before calling this. A tree whose weight is zero or not finite is left unchanged.
//
// Returns at once, without any check, when there are no stumps or no round counts. Errors, in
// order: "targets length {} does not match binned row_count {}", "weights length {} does not
// match targets length {}", "round stump count overflow", "round stump counts exceed trained stump
// count", "round stump counts do not cover all trained stumps", then those of the row walk. The
// rounds refined before a failing one stay refined; the failing round's stumps are untouched.
void refine_regression_leaf_values(std::span<const float> targets, objectives::Weights weights,
                                   const core::BinnedMatrix& binned, std::span<TrainedStump> stumps,
                                   std::span<const std::size_t> round_stump_counts, float base_prediction, float cap);

// The same sweep for a fit that continued an earlier model: the stumps before
// `first_refined_stump` (the earlier model's) are left as they are, and `starting_predictions`
// (base score plus those trees, one per row) take the base prediction's place. The round counts
// cover the stumps from `first_refined_stump` on. Besides the errors above: "first refined stump
// {} exceeds trained stump count {}" first, and "starting predictions length {} does not match
// binned row_count {}" after the weights check.
void refine_regression_leaf_values_from(std::span<const float> targets, objectives::Weights weights,
                                        const core::BinnedMatrix& binned, std::span<TrainedStump> stumps,
                                        std::size_t first_refined_stump, std::span<const float> starting_predictions,
                                        std::span<const std::size_t> round_stump_counts, float cap);

struct QuantileRefinementSettings {
  float alpha = 0.5f;
  float learning_rate = 1.0f;  // applied to the written increments
  float cap = 1e6f;
  // Morph mode: the increments of a stump at depth d (1 at the root) are further multiplied by
  // depth_penalty_base^(d / 3). Absent outside morph mode.
  std::optional<float> depth_penalty_base;
};

// Re-fits one new tree's leaves to the weighted alpha-quantile of its rows' residuals,
// target - prediction before this tree - the coefficient terms of the linear leaves on the row's
// path (given raw feature rows; missing values skipped). The increments are written scaled by the
// learning rate (and the depth factor); a linear leaf keeps its coefficients and gets the new
// intercept. Returns at once for no stumps; then the targets and weights length checks, the row
// walk, and errors of weighted_quantile unchanged. On error the stumps are unchanged.
// `predictions_before` must hold one prediction per binned row (a panic otherwise).
void refine_quantile_leaf_values(std::span<TrainedStump> tree, const core::BinnedMatrix& binned,
                                 std::span<const float> predictions_before, std::span<const float> targets,
                                 objectives::Weights weights, std::optional<RawFeatureRows> raw,
                                 const QuantileRefinementSettings& settings);

// The joint multi-output round's refinement: for each output whose objective is quantile, entry k
// of the multi-output left and right values of each stump is re-fitted to the unweighted
// alpha-quantile of that output's residuals target[k] - prediction[k], without bound and without
// scaling (the joint loop scales afterwards). Stumps without multi-output values and outputs of
// other objectives are untouched. The stumps' node ids are still local (used unmasked).
// Returns at once for no stumps; "per_output_objective length {} != n_outputs {}" (objective
// count first) when the objectives are not one per target list; returns unchanged when no output
// is quantile; then the row walk, "left child id overflow for local node {}" / "right child id
// overflow for local node {}", and errors of weighted_quantile. On error the stumps are unchanged.
// Fewer prediction lists than outputs, or a prediction or target list shorter than the row count,
// or a stump with fewer multi-output entries than a quantile output's index, is a bug and panics.
void refine_joint_quantile_leaves(std::span<TrainedStump> tree, const core::BinnedMatrix& binned,
                                  std::span<const std::vector<float>> predictions,
                                  std::span<const std::span<const float>> targets,
                                  std::span<const joint::JointObjective> objectives);

}  // namespace kestrune::engine

// What lets the tree explainers handle models that are not plain sums of constant leaves: DART
// tree weights folded into the leaf values, linear leaves valued at the feature baseline inside
// the trees, and their feature terms credited to their features afterwards.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "engine/trained_model.hpp"
#include "shap/binning.hpp"
#include "shap/model_structure.hpp"

namespace kestrune::shap {

// Whether any stump's weight differs from 1 by more than 2^-23.
bool has_rescaled_tree_weights(const engine::TrainedModel& model);

// A copy whose stumps all weigh 1: each weighted stump's constants, coefficients and intercepts
// are multiplied by its weight (weight first, in float32).
engine::TrainedModel scale_model_by_tree_weight(const engine::TrainedModel& model);

bool has_linear_leaves(const engine::TrainedModel& model);

// A side's value with every feature at the baseline: the constant, or the linear leaf's intercept
// plus its terms at the baseline (float64 from the intercept, rounded once); without a baseline
// vector, the intercept alone.
float side_value_at_baseline(const core::LeafValue& side, const std::optional<std::vector<float>>& baseline);

// Adds each linear leaf term the row reaches, coefficient x (value - baseline), to its feature's
// entry of phi. The terms read the row's raw values, as training and prediction value them.
void distribute_linear_terms_for_row(const StumpIndex& index, std::span<const float> row,
                                     const std::optional<std::vector<float>>& baseline, const BinningContext* binning,
                                     std::span<double> phi);

}  // namespace kestrune::shap

#include "shap/linear_leaf.hpp"

#include <algorithm>
#include <cmath>
#include <variant>

namespace kestrune::shap {
namespace {

// 2^-23: tree weights this close to 1 count as 1.
constexpr float kF32Epsilon = 1.1920929e-7f;

bool is_rescaled(float weight) { return std::fabs(weight - 1.0f) > kF32Epsilon; }

void scale_side(core::LeafValue& side, float weight) {
  if (float* constant = std::get_if<float>(&side)) {
    *constant = weight * *constant;
    return;
  }
  core::LinearLeaf& leaf = core::linear_leaf(side);
  for (float& coefficient : leaf.coefficients) coefficient = weight * coefficient;
  leaf.intercept = weight * leaf.intercept;
}

}  // namespace

bool has_rescaled_tree_weights(const engine::TrainedModel& model) {
  return std::any_of(model.stumps.begin(), model.stumps.end(),
                     [](const engine::TrainedStump& stump) { return is_rescaled(stump.tree_weight); });
}

engine::TrainedModel scale_model_by_tree_weight(const engine::TrainedModel& model) {
  engine::TrainedModel scaled = model;
  for (engine::TrainedStump& stump : scaled.stumps) {
    if (!is_rescaled(stump.tree_weight)) continue;
    scale_side(stump.left, stump.tree_weight);
    scale_side(stump.right, stump.tree_weight);
    stump.tree_weight = 1.0f;
  }
  return scaled;
}

bool has_linear_leaves(const engine::TrainedModel& model) {
  return std::any_of(model.stumps.begin(), model.stumps.end(), engine::has_linear_leaf);
}

float side_value_at_baseline(const core::LeafValue& side, const std::optional<std::vector<float>>& baseline) {
  if (const float* constant = std::get_if<float>(&side)) return *constant;
  const core::LinearLeaf& leaf = core::linear_leaf(side);
  if (!baseline) return leaf.intercept;
  double value = leaf.intercept;
  const std::size_t terms = std::min(leaf.coefficients.size(), leaf.feature_indices.size());
  for (std::size_t k = 0; k < terms; ++k) {
    const std::uint32_t feature = leaf.feature_indices[k];
    if (feature < baseline->size()) {
      value += static_cast<double>(leaf.coefficients[k]) * static_cast<double>((*baseline)[feature]);
    }
  }
  return static_cast<float>(value);
}

void distribute_linear_terms_for_row(const StumpIndex& index, std::span<const float> row,
                                     const std::optional<std::vector<float>>& baseline, const BinningContext* binning,
                                     std::span<double> phi) {
  for (const std::uint32_t tree : index.root_trees) {
    walk_row_path(index, tree, row, binning, [&](const engine::TrainedStump& stump, bool left) {
      const core::LinearLeaf* leaf = core::linear_leaf_if(left ? stump.left : stump.right);
      if (leaf == nullptr) return;
      const std::size_t terms = std::min(leaf->feature_indices.size(), leaf->coefficients.size());
      for (std::size_t k = 0; k < terms; ++k) {
        const std::uint32_t feature = leaf->feature_indices[k];
        if (feature >= phi.size()) continue;
        const double c = leaf->coefficients[k];
        const double v = feature < row.size() ? static_cast<double>(row[feature]) : 0.0;
        if (baseline) {
          const double b = feature < baseline->size() ? static_cast<double>((*baseline)[feature]) : 0.0;
          phi[feature] += (v - b) * c;
        } else {
          phi[feature] += v * c;
        }
      }
    });
  }
}

}  // namespace kestrune::shap

#include "shap/additivity.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/round.hpp"
#include "shap/error.hpp"
#include "shap/linear_leaf.hpp"
#include "support/float_text.hpp"

namespace kestrune::shap {
namespace {

constexpr float kAbsoluteTolerance = 0.00001f;
constexpr float kRelativeTolerance = 0.0001f;
// A float32 result lies within this fraction of the exact result of its operation.
constexpr double kF32Rounding = 0x1p-24;

}  // namespace

void verify_additivity(const engine::TrainedModel& model, const StumpIndex& index, std::span<const float> row,
                       std::span<const float> values, std::size_t row_index,
                       const BinningContext* binning, float expected_value, bool linear) {
  if (linear && binning == nullptr) return;

  // Both sides are summed in float64, so that the check adds no rounding of its own. Beyond its
  // relative and absolute parts, the tolerance covers the float32 roundings that really happen
  // on the way to the terms, each at most 2^-24 of what it rounds:
  // - the expected value and each SHAP value are float32 results of float64 sums;
  // - an explainer may sum one tree's path in float32, a few additions at that tree's own scale;
  // - a linear side is evaluated in float32 here, as the predictor does, and at the feature
  //   baseline by the explainer.
  // The bound thus grows with the number of terms, where charging every addition of one long
  // float32 sum with everything summed before it would grow with its square.
  const std::optional<std::vector<float>>& baseline = model.feature_baseline;
  double predicted = model.base_prediction;
  double path_rounding = 0.0;  // over trees: operations on the row's path x their magnitude
  double slack = 0.0;
  for (const std::uint32_t tree : index.root_trees) {
    double magnitude = 0.0;
    std::size_t operations = 0;
    walk_row_path(index, tree, row, binning, [&](const engine::TrainedStump& stump, bool left) {
      const core::LeafValue& side = left ? stump.left : stump.right;
      float term = 0.0f;
      if (const auto* leaf = core::linear_leaf_if(side)) {
        term = engine::linear_leaf_value_at(*leaf, row, 0);
        const std::size_t terms = std::min(leaf->feature_indices.size(), leaf->coefficients.size());
        magnitude += std::fabs(static_cast<double>(leaf->intercept));
        for (std::size_t k = 0; k < terms; ++k) {
          const std::uint32_t feature = leaf->feature_indices[k];
          const double x = feature < row.size() ? std::fabs(static_cast<double>(row[feature])) : 0.0;
          const double b =
              baseline && feature < baseline->size() ? std::fabs(static_cast<double>((*baseline)[feature])) : 0.0;
          const double c = std::fabs(static_cast<double>(leaf->coefficients[k]));
          slack += x * c;
          magnitude += c * (x + b);
        }
        operations += 2 * terms + 2;
      } else {
        term = std::get<float>(side);
        magnitude += std::fabs(static_cast<double>(term));
        operations += 1;
      }
      predicted += term;
    });
    path_rounding += magnitude * static_cast<double>(operations);
  }

  double reconstructed = expected_value;
  double value_magnitude = std::fabs(static_cast<double>(expected_value));
  for (const float value : values) {
    reconstructed += value;
    value_magnitude += std::fabs(static_cast<double>(value));
  }

  const auto predicted_f32 = static_cast<float>(predicted);
  float tolerance = std::fabs(predicted_f32) * kRelativeTolerance + kAbsoluteTolerance;
  if (linear) tolerance = tolerance + static_cast<float>(slack * 0x1p-23);
  tolerance = tolerance + static_cast<float>((path_rounding + value_magnitude) * kF32Rounding);
  // A gap that is not a finite number within the tolerance fails: a NaN or infinite leaf, even one
  // off the row's path, must not pass as an explanation that adds up.
  const double gap = std::fabs(predicted - reconstructed);
  if (!std::isfinite(gap) || !(gap <= tolerance)) {
    throw ShapError::runtime("row " + std::to_string(row_index) + " additivity check failed: predicted=" +
                             support::format_f32(predicted_f32) +
                             ", reconstructed=" + support::format_f32(static_cast<float>(reconstructed)) +
                             ", tolerance=" + support::format_f32(tolerance) + " (atol=" +
                             support::format_f32(kAbsoluteTolerance) + ", rtol=" +
                             support::format_f32(kRelativeTolerance) + ")");
  }
}

}  // namespace kestrune::shap

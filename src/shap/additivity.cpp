#include "shap/additivity.hpp"

#include <cmath>
#include <string>

#include "engine/round.hpp"
#include "shap/error.hpp"
#include "shap/linear_leaf.hpp"
#include "support/float_text.hpp"

namespace kestrune::shap {
namespace {

constexpr float kAbsoluteTolerance = 0.00001f;
constexpr float kRelativeTolerance = 0.0001f;

// A bound on the rounding a sequential float32 sum carries: each addition rounds by at most 2^-24
// of the partial sum, whose magnitude is at most the sum of the magnitudes so far. The first term
// is charged too, which covers its own rounding and keeps the bound simple. Kept in float64 so
// that the bound itself does not round away.
class SumRoundingBound {
 public:
  void add(float term) {
    magnitude_ += std::fabs(static_cast<double>(term));
    partial_magnitudes_ += magnitude_;
  }
  double bound() const { return partial_magnitudes_ * 0x1p-24; }

 private:
  double magnitude_ = 0.0;
  double partial_magnitudes_ = 0.0;
};

}  // namespace

void verify_additivity(const engine::TrainedModel& model, const StumpIndex& index, std::span<const float> row,
                       std::span<const float> values, std::size_t row_index,
                       const BinningContext* binning, float expected_value, bool linear) {
  if (linear && binning == nullptr) return;

  // The prediction as the predictor scores it: path values tree by tree, linear sides on the row.
  float predicted = model.base_prediction;
  SumRoundingBound predicted_rounding;
  predicted_rounding.add(predicted);
  double slack = 0.0;
  for (const std::uint32_t tree : index.root_trees) {
    walk_row_path(index, tree, row, binning, [&](const engine::TrainedStump& stump, bool left) {
      const core::LeafValue& side = left ? stump.left : stump.right;
      float term = 0.0f;
      if (const auto* leaf = core::linear_leaf_if(side)) {
        term = engine::linear_leaf_value_at(*leaf, row, 0);
        const std::size_t terms = std::min(leaf->feature_indices.size(), leaf->coefficients.size());
        for (std::size_t k = 0; k < terms; ++k) {
          const std::uint32_t feature = leaf->feature_indices[k];
          const double x = feature < row.size() ? std::fabs(static_cast<double>(row[feature])) : 0.0;
          slack += x * std::fabs(static_cast<double>(leaf->coefficients[k]));
        }
      } else {
        term = std::get<float>(side);
      }
      predicted = predicted + term;
      predicted_rounding.add(term);
    });
  }

  float reconstructed = expected_value;
  SumRoundingBound reconstructed_rounding;
  reconstructed_rounding.add(expected_value);
  for (const float value : values) {
    reconstructed = reconstructed + value;
    reconstructed_rounding.add(value);
  }

  float tolerance = std::fabs(predicted) * kRelativeTolerance + kAbsoluteTolerance;
  if (linear) tolerance = tolerance + static_cast<float>(slack * 0x1p-23);
  // Both sides are float32 sums whose terms may be far larger than the prediction (large leaves
  // that cancel): the tolerance also covers what those two sums can round away.
  tolerance = tolerance + static_cast<float>(predicted_rounding.bound() + reconstructed_rounding.bound());
  // A gap that is not a finite number within the tolerance fails: a NaN or infinite leaf, even one
  // off the row's path, must not pass as an explanation that adds up.
  const float gap = std::fabs(predicted - reconstructed);
  if (!std::isfinite(gap) || !(gap <= tolerance)) {
    throw ShapError::runtime("row " + std::to_string(row_index) + " additivity check failed: predicted=" +
                             support::format_f32(predicted) + ", reconstructed=" + support::format_f32(reconstructed) +
                             ", tolerance=" + support::format_f32(tolerance) + " (atol=" +
                             support::format_f32(kAbsoluteTolerance) + ", rtol=" +
                             support::format_f32(kRelativeTolerance) + ")");
  }
}

}  // namespace kestrune::shap

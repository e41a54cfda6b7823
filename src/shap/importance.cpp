#include "shap/importance.hpp"

#include <cmath>
#include <string_view>

#include "shap/artifact_context.hpp"
#include "shap/explain.hpp"
#include "support/panic.hpp"
#include "support/stable_sort.hpp"

namespace kestrune::shap {
namespace {

// Importance descending; a pair whose importance neither exceeds nor falls below the other's
// (equal, or either one NaN) goes by name, compared as bytes. The merge sort stays safe even
// though NaN makes this order inconsistent across three pairs.
bool ranks_before(const std::pair<std::string, float>& a, const std::pair<std::string, float>& b) {
  if (a.second > b.second) return true;
  if (a.second < b.second) return false;
  // std::string_view compares as unsigned bytes (char_traits<char>::compare), shorter prefix first.
  return std::string_view(a.first) < std::string_view(b.first);
}

}  // namespace

FeatureImportance global_importance_helper(std::span<const std::uint8_t> bytes,
                                           std::span<const std::vector<float>> rows, const BinningContext* binning) {
  const ArtifactShapContext context = load_artifact_context(bytes);
  const std::size_t feature_count = context.feature_names.size();
  std::vector<float> totals(feature_count, 0.0f);
  // Model by model, then row by row, per feature: the summation order fixes the float32 result.
  for (const engine::TrainedModel& model : context.models) {
    const ShapExplanationBatch batch = explain_rows_from_model(model, rows, binning);
    for (const std::vector<float>& values : batch.values) {
      support::invariant(values.size() <= feature_count, "a SHAP row has at most one value per feature name");
      for (std::size_t i = 0; i < values.size(); ++i) totals[i] += std::fabs(values[i]);
    }
  }
  const float divisor = static_cast<float>(rows.size()) * static_cast<float>(context.models.size());
  FeatureImportance pairs;
  pairs.reserve(feature_count);
  for (std::size_t i = 0; i < feature_count; ++i) pairs.emplace_back(context.feature_names[i], totals[i] / divisor);
  support::stable_merge_sort(pairs, ranks_before);
  return pairs;
}

FeatureImportance global_importance_from_artifact_bytes(std::span<const std::uint8_t> bytes,
                                                        std::span<const std::vector<float>> rows) {
  return global_importance_helper(bytes, rows, nullptr);
}

FeatureImportance global_importance_from_artifact_bytes_with_binning(std::span<const std::uint8_t> bytes,
                                                                     std::span<const std::vector<float>> rows,
                                                                     const BinningContext& binning) {
  return global_importance_helper(bytes, rows, &binning);
}

}  // namespace kestrune::shap

#include "core/histogram.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

#include "core/error.hpp"

namespace kestrune::core {

GradientPair GradientPair::make(float grad, float hess) {
  if (!std::isfinite(grad) || !std::isfinite(hess)) {
    throw CoreError::validation("gradient and hessian must be finite");
  }
  if (hess <= 0.0f) throw CoreError::validation("hessian must be greater than 0");
  return GradientPair{grad, hess};
}

HistogramBundle HistogramBundle::new_zeroed(std::span<const std::uint32_t> feature_indices,
                                            std::size_t bins_per_feature) {
  HistogramBundle bundle;
  bundle.histograms.reserve(feature_indices.size());
  for (const std::uint32_t feature : feature_indices) {
    bundle.histograms.push_back(FeatureHistogram{std::vector<HistogramBin>(bins_per_feature), feature});
  }
  return bundle;
}

FeatureTile FeatureTile::make(std::uint32_t start_feature, std::uint32_t end_feature) {
  if (start_feature >= end_feature) {
    throw CoreError::validation("feature tile must satisfy start_feature < end_feature");
  }
  return FeatureTile{start_feature, end_feature};
}

NodeSlice NodeSlice::make(std::uint32_t node_id, RowList row_indices) {
  if (row_indices.empty()) throw CoreError::validation("node row_indices cannot be empty");
  return NodeSlice{std::move(row_indices), node_id};
}

void NodeSlice::validate_bounds(std::size_t row_count) const {
  // Every node of every tree passes here before its rows are read, so the common case (no row
  // out of bounds) is one branch-free pass that the compiler vectorizes; only a failing list is
  // walked again for its first offending row.
  if (row_count > std::numeric_limits<std::uint32_t>::max()) return;
  const auto limit = static_cast<std::uint32_t>(row_count);
  std::uint32_t out_of_bounds = 0;
  for (const std::uint32_t row : row_indices) out_of_bounds |= static_cast<std::uint32_t>(row >= limit);
  if (out_of_bounds == 0) return;
  for (const std::uint32_t row : row_indices) {
    if (row >= row_count) {
      throw CoreError::validation("row index " + std::to_string(row) + " is out of bounds for row_count " +
                                  std::to_string(row_count));
    }
  }
}

}  // namespace kestrune::core

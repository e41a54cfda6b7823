// Per-row gradient pairs and the histogram records of tree growth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/node_lists.hpp"

namespace kestrune::core {

struct GradientPair {
  float grad = 0.0f;
  float hess = 0.0f;

  // Checked construction: both finite ("gradient and hessian must be finite"), then hess > 0
  // ("hessian must be greater than 0"); CoreError::Validation otherwise. Objectives that write
  // pairs straight into a buffer skip this check.
  static GradientPair make(float grad, float hess);
};

// Gradient pairs of a list of rows, in the list's order.
using PairList = NodeList<GradientPair>;

// One histogram bin, or one child's statistics: exactly four 32-bit lanes so that a bin list
// is a dense array that subtraction and accumulation can process as vectors.
struct HistogramBin {
  float grad_sum = 0.0f;
  float hess_sum = 0.0f;
  float grad_sq_sum = 0.0f;
  std::uint32_t count = 0;
};
static_assert(sizeof(HistogramBin) == 16, "HistogramBin must stay four 32-bit lanes");

struct FeatureHistogram {
  std::vector<HistogramBin> bins;
  std::uint32_t feature_index = 0;
};

// The histograms of one tree node, in the order of the feature list they were built from.
struct HistogramBundle {
  std::vector<FeatureHistogram> histograms;
  std::uint32_t node_id = 0;

  static HistogramBundle new_zeroed(std::span<const std::uint32_t> feature_indices, std::size_t bins_per_feature);
};

// A half-open range of feature columns, start < end.
struct FeatureTile {
  std::uint32_t start_feature = 0;
  std::uint32_t end_feature = 0;

  // "feature tile must satisfy start_feature < end_feature" (CoreError::Validation).
  static FeatureTile make(std::uint32_t start_feature, std::uint32_t end_feature);
};

// The non-empty row list of one tree node.
struct NodeSlice {
  RowList row_indices;
  std::uint32_t node_id = 0;

  // "node row_indices cannot be empty" (CoreError::Validation).
  static NodeSlice make(std::uint32_t node_id, RowList row_indices);
  // The same with a copy of `row_indices`.
  static NodeSlice make(std::uint32_t node_id, std::span<const std::uint32_t> row_indices) {
    return make(node_id, RowList(row_indices.begin(), row_indices.end()));
  }
  // First index >= row_count: "row index {} is out of bounds for row_count {}".
  void validate_bounds(std::size_t row_count) const;
};

}  // namespace kestrune::core

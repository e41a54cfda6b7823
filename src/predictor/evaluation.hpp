// Row evaluation: the node test, the side values, the walk of one row through a forest, and the
// blocked walk that batch prediction uses. Both walks give bit-identical scores: the blocked one
// only interleaves independent rows, each row still adding its path values tree by tree in order.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/routing.hpp"
#include "predictor/error.hpp"
#include "predictor/forest.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::predictor {

// Bin-space thresholds send a value left when it is at most the split bin; raw-value thresholds
// when it is strictly below the threshold.
template <bool FloatThresholds>
inline bool numeric_goes_left(float value, float threshold) {
  if constexpr (FloatThresholds) {
    return value < threshold;
  } else {
    return value <= threshold;
  }
}

// The category a value names: truncated toward zero, saturated to u32 (negative values give 0),
// then capped at 65535.
inline std::uint32_t category_of(float value) {
  const std::uint32_t category = support::saturating_cast<std::uint32_t>(value);
  return category < 65535u ? category : 65535u;
}

[[noreturn]] void throw_feature_out_of_range(std::uint64_t feature, std::size_t feature_count);

// The full node test: feature bounds, missing value, categorical bitset, numeric threshold.
// Missing goes to the default side; a categorical node without a bitset routes by its default
// side, as the shared routing rule does for binned rows. A category set holds category ids, so a
// categorical node reads `raw_row`, the row's own values, also when the walk is on bins of them:
// the bin of an id is not the id. Numeric nodes read `row`.
template <bool FloatThresholds>
inline bool node_goes_left(const Forest& forest, const PredictorTreeNode& node, std::span<const float> row,
                           std::span<const float> raw_row, std::size_t feature_count) {
  if (node.feature_index >= feature_count) throw_feature_out_of_range(node.feature_index, feature_count);
  const bool categorical = (node.flags & kCategorical) != 0;
  const std::span<const float> read = categorical ? raw_row : row;
  support::invariant(node.feature_index < read.size(), "a row holds every feature the walk may read");
  const float value = read[node.feature_index];
  const bool default_left = (node.flags & kDefaultLeft) != 0;
  if (std::isnan(value)) return default_left;
  if (categorical) {
    if (node.extras != kNoExtras && forest.extras[node.extras].category_bitset) {
      return engine::category_goes_left(*forest.extras[node.extras].category_bitset, category_of(value));
    }
    return default_left;
  }
  return numeric_goes_left<FloatThresholds>(value, node.threshold);
}

// intercept + row[j] x coefficient over the terms whose feature lies in the row and is not
// missing, one term at a time in order, in float32.
float linear_leaf_value(const LinearLeafCompact& leaf, std::span<const float> row);

// What a row adds on the side it took: the side value times the tree weight. A linear leaf reads
// `raw_row`, the row's feature values (the walked row itself unless the walk is on bins of raw
// values: the leaves were fitted on the raw values, never on bin indices).
inline float side_addend(const Forest& forest, const PredictorTreeNode& node, bool left,
                         std::span<const float> raw_row, float weight) {
  const std::uint16_t linear_flag = left ? kLeftLinear : kRightLinear;
  if ((node.flags & linear_flag) != 0) {
    const NodeExtras& extras = forest.extras[node.extras];
    return linear_leaf_value(left ? *extras.left_linear : *extras.right_linear, raw_row) * weight;
  }
  return node.step[left ? kLeft : kRight];
}

// `score` plus every tree's path values for one row, trees in order: numeric node tests read
// `row`, categorical node tests and linear leaves read `raw_row`.
template <bool FloatThresholds>
float walk_forest(const Forest& forest, std::span<const float> row, std::span<const float> raw_row,
                  std::size_t feature_count, float score) {
  for (const PredictorTree& tree : forest.trees) {
    std::uint32_t index = tree.root;
    while (index != kEndNode) {
      const PredictorTreeNode& node = forest.nodes[index];
      const bool left = node_goes_left<FloatThresholds>(forest, node, row, raw_row, feature_count);
      score = score + side_addend(forest, node, left, raw_row, tree.weight);
      index = node.child[left ? kLeft : kRight];
    }
  }
  return score;
}

// The same with one row for both.
template <bool FloatThresholds>
float walk_forest(const Forest& forest, std::span<const float> row, std::size_t feature_count, float score) {
  return walk_forest<FloatThresholds>(forest, row, row, feature_count, score);
}

// Adds every tree's path values to acc[0 .. count) for rows[0 .. count), each row holding exactly
// `feature_count` values (at least one). Trees go in order and each row's additions follow its
// path, so acc[i] ends equal to walk_forest(row i, raw row i, acc[i]). Categorical node tests and
// linear leaves read raw_rows[i], or rows[i] when raw_rows is null. A failing node throws
// part-way: the caller then rescoring row by row finds the first failing row.
void accumulate_forest_block(const Forest& forest, bool float_thresholds, const float* const* rows, std::size_t count,
                             std::size_t feature_count, float* acc, const float* const* raw_rows = nullptr);

// The single-output output transform, chosen by the objective name (exact, case-sensitive).
enum class OutputTransform { Identity, Sigmoid, ClampedExp };

OutputTransform output_transform_for(std::string_view objective);

inline float apply_output_transform(OutputTransform transform, float x) {
  switch (transform) {
    case OutputTransform::Identity: return x;
    case OutputTransform::Sigmoid: {
      if (x >= 0.0f) return 1.0f / (1.0f + std::exp(-x));
      const float e = std::exp(x);  // x < 0 or NaN
      return e / (e + 1.0f);
    }
    case OutputTransform::ClampedExp: {
      // Written out so that NaN passes through the clamp.
      const float clamped = x < -50.0f ? -50.0f : (x > 50.0f ? 50.0f : x);
      return std::exp(clamped);
    }
  }
  return x;
}

// Class probabilities from class scores, in place: exp(s - max) / sum, the maximum ignoring NaN
// scores; when the sum is not positive the exponentials are left undivided.
void softmax_in_place(std::span<float> scores);

}  // namespace kestrune::predictor

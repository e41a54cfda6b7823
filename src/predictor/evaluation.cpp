#include "predictor/evaluation.hpp"

#include <algorithm>
#include <limits>

namespace kestrune::predictor {
namespace {

// Rows walked side by side through one tree. Their walks are independent, so the processor
// overlaps them instead of waiting on one chain of dependent loads and compares.
constexpr std::size_t kLanes = 8;

// The full node test for one lane, out of line: categorical and linear nodes and nodes that
// fail are rare, and keeping them out keeps the lane loop small enough to unroll.
template <bool FloatThresholds>
[[gnu::noinline]] void full_step(const Forest& forest, const PredictorTreeNode& node, const float* row,
                                 const float* raw_row, std::size_t feature_count, float weight, std::uint32_t& index,
                                 float& score) {
  const bool left = node_goes_left<FloatThresholds>(forest, node, {row, feature_count}, {raw_row, feature_count},
                                                    feature_count);
  score = score + side_addend(forest, node, left, {raw_row, feature_count}, weight);
  index = node.child[left ? kLeft : kRight];
}

// Walks `Lanes` rows through one tree. A row whose path has ended sits on the end node, which
// routes to itself and adds -0.0f (x + -0.0f == x for every float, signed zeros included). The
// numeric step has no branch: the test's outcome indexes the child and step arrays.
template <bool FloatThresholds, std::size_t Lanes>
void walk_lanes(const Forest& forest, const PredictorTree& tree, const float* const* rows,
                const float* const* raw_rows, std::size_t feature_count, float* acc) {
  const PredictorTreeNode* nodes = forest.nodes.data();
  std::uint32_t index[Lanes];
  float score[Lanes];
  const float* row[Lanes];
  for (std::size_t l = 0; l < Lanes; ++l) {
    index[l] = tree.root;
    score[l] = acc[l];
    row[l] = rows[l];
  }
  for (std::uint32_t step = 0; step < tree.depth; ++step) {
    std::uint32_t live = 0;
#pragma GCC unroll 16
    for (std::size_t l = 0; l < Lanes; ++l) {
      const PredictorTreeNode& node = nodes[index[l]];
      if ((node.flags & kNeedsFullTest) != 0) [[unlikely]] {
        full_step<FloatThresholds>(forest, node, row[l], raw_rows[l], feature_count, tree.weight, index[l],
                                   score[l]);
      } else {
        const float value = row[l][node.feature_index];
        const std::uint32_t missing_left = static_cast<std::uint32_t>(value != value) & node.flags & kDefaultLeft;
        const std::uint32_t side =
            static_cast<std::uint32_t>(numeric_goes_left<FloatThresholds>(value, node.threshold)) | missing_left;
        score[l] = score[l] + node.step[side];
        index[l] = node.child[side];
      }
      live |= index[l];
    }
    if (live == kEndNode) break;
  }
  for (std::size_t l = 0; l < Lanes; ++l) acc[l] = score[l];
}

template <bool FloatThresholds>
void accumulate_block(const Forest& forest, const float* const* rows, const float* const* raw_rows, std::size_t count,
                      std::size_t feature_count, float* acc) {
  for (const PredictorTree& tree : forest.trees) {
    if (tree.root == kEndNode) continue;
    std::size_t r = 0;
    for (; r + kLanes <= count; r += kLanes) {
      walk_lanes<FloatThresholds, kLanes>(forest, tree, rows + r, raw_rows + r, feature_count, acc + r);
    }
    for (; r < count; ++r) {
      walk_lanes<FloatThresholds, 1>(forest, tree, rows + r, raw_rows + r, feature_count, acc + r);
    }
  }
}

}  // namespace

void throw_feature_out_of_range(std::uint64_t feature, std::size_t feature_count) {
  throw PredictorError::invalid_model("split feature_index " + std::to_string(feature) + " exceeds feature length " +
                                      std::to_string(feature_count));
}

float linear_leaf_value(const LinearLeafCompact& leaf, std::span<const float> row) {
  float value = leaf.intercept;
  const std::size_t terms = std::min(leaf.feature_indices.size(), leaf.coefficients.size());
  for (std::size_t k = 0; k < terms; ++k) {
    const std::uint64_t feature = leaf.feature_indices[k];
    if (feature >= row.size()) continue;
    const float x = row[feature];
    if (std::isnan(x)) continue;
    value = value + x * leaf.coefficients[k];
  }
  return value;
}

void accumulate_forest_block(const Forest& forest, bool float_thresholds, const float* const* rows, std::size_t count,
                             std::size_t feature_count, float* acc, const float* const* raw_rows) {
  // The end node reads feature 0 of a finished row: rows must hold at least one value.
  support::invariant(feature_count > 0, "blocked walk needs at least one feature");
  // Nodes were marked against this count; the unmarked ones read their feature unchecked.
  support::invariant(feature_count == forest.feature_count, "blocked walk uses the forest's feature count");
  if (raw_rows == nullptr) raw_rows = rows;
  if (float_thresholds) {
    accumulate_block<true>(forest, rows, raw_rows, count, feature_count, acc);
  } else {
    accumulate_block<false>(forest, rows, raw_rows, count, feature_count, acc);
  }
}

OutputTransform output_transform_for(std::string_view objective) {
  if (objective == "binary_crossentropy") return OutputTransform::Sigmoid;
  if (objective == "poisson" || objective == "tweedie" || objective == "gamma") return OutputTransform::ClampedExp;
  return OutputTransform::Identity;
}

void softmax_in_place(std::span<float> scores) {
  float max = -std::numeric_limits<float>::infinity();
  for (const float s : scores) {
    if (s > max) max = s;  // NaN never wins
  }
  float sum = 0.0f;
  for (float& s : scores) {
    s = std::exp(s - max);
    sum = sum + s;
  }
  if (sum <= 0.0f) return;  // a NaN sum still divides
  for (float& s : scores) s = s / sum;
}

}  // namespace kestrune::predictor

// The steps both growers take once a node's split has been applied: the child values and the
// checks that may refuse the split, linear leaves and the split record; and the sibling
// histograms by subtraction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/histogram.hpp"
#include "core/leaf.hpp"
#include "engine/backend_ops.hpp"
#include "engine/env.hpp"
#include "engine/split_candidate.hpp"
#include "engine/trained_stump.hpp"
#include "engine/tree_build/grow_request.hpp"
#include "engine/types.hpp"

namespace kestrune::engine::tree_build {

// (g' x -learning_rate) / ((split_l2 + hess_sum) + 1e-6) in float32, g' the soft-thresholded
// gradient sum of the child.
float child_leaf_value(const core::HistogramBin& stats, const SplitSelectionOptions& options, float learning_rate);

// The factor the child values of a split at `depth` (the split node's level, 1 at the root) are
// multiplied by: 1 outside morph mode, else the morph damping by depth and training progress.
float split_depth_scale(const std::optional<MorphTreeContext>& morph, std::size_t depth);

// Clamped to [-max_abs, max_abs]; NaN stays NaN.
float clamp_leaf_value(float value, float max_abs);

struct ChildValues {
  float left = 0.0f;
  float right = 0.0f;
};

// The checks of an applied split, in order:
//   - the two row lists must cover the node's rows (ContractViolation
//     "split partition does not cover all node rows");
//   - an empty child or one below min_rows_per_leaf refuses (LeafRowsBelowThreshold);
//   - a child hessian sum <= 0 is ContractViolation "backend produced non-positive hessian sums";
//   - the child values (times `depth_scale`, then clamped) refuse when both lie strictly within
//     min_abs_leaf_value of the node's value (LeafMagnitudeBelowThreshold);
//   - the split feature's monotone constraint refuses a +1 feature with left > right and a -1
//     feature with left < right (MonotoneConstraintViolation).
// Returns the refusal, or the children's full values.
struct SplitAssessment {
  std::optional<IterationStopReason> refusal;
  ChildValues values;
};
SplitAssessment assess_applied_split(const core::PartitionResult& partition, std::size_t node_row_count,
                                     float node_value, std::uint32_t split_feature, float learning_rate,
                                     float depth_scale, const SplitSelectionOptions& options,
                                     const IterationControls& controls,
                                     std::span<const std::int8_t> monotone_constraints);

// The terms of every linear leaf: the first min(feature_count, 8) features, whatever the split.
std::vector<std::uint32_t> linear_leaf_terms(std::size_t feature_count);

// A fitted pair turned into the children's full models (coefficients and intercept times
// `depth_scale`, the intercept then clamped) and the increments stored and added along the path:
// intercept minus the node's value and, under a linear parent, coefficients minus the parent's
// (matched by position).
struct LinearChildren {
  core::LinearLeaf left;
  core::LinearLeaf right;
  core::LinearLeaf left_increment;
  core::LinearLeaf right_increment;
};
LinearChildren adjust_linear_pair(const LinearLeafPair& pair, float depth_scale, float max_abs_leaf_value,
                                  float node_value, const core::LinearLeaf* parent);

// Adds the increment model's value at each row (raw values at row x feature_count), in row
// order; rows at or past the predictions' length are skipped.
void apply_linear_leaf_updates(std::span<float> predictions, std::span<const std::uint32_t> rows,
                               const core::LinearLeaf& increment, std::span<const float> raw_values,
                               std::size_t feature_count);

// The record of a made split: routing fields and gain from the candidate, child statistics from
// the partition, the two increments as side values, tree weight 1.
TrainedStump make_split_record(const SplitCandidate& candidate, const core::PartitionResult& partition,
                               core::LeafValue left, core::LeafValue right);

// The record of a made split with its increments as side values: each child's value less the
// node's, or the linear increments.
TrainedStump made_split_record(const SplitCandidate& candidate, const core::PartitionResult& partition,
                               const ChildValues& values, float node_value,
                               const std::optional<LinearChildren>& linear);

// The node slice of `rows` under `key`; an empty row list is the core validation error, wrapped.
core::NodeSlice node_slice(std::uint32_t key, core::RowList rows);

// Linear models for the children of an applied split, when the tree grows linear leaves (raw
// values given, leaf_model linear) and the split is not categorical; nothing when the backend
// finds no usable fit, and the children stay constant.
template <BackendOps Backend>
std::optional<LinearChildren> fit_linear_children(const Backend& backend, const TreeGrowthRequest& request,
                                                  std::span<const std::uint32_t> terms, float learning_rate,
                                                  float depth_scale, const SplitCandidate& candidate,
                                                  const core::PartitionResult& partition, float node_value,
                                                  const std::optional<core::LinearLeaf>& node_linear_leaf) {
  if (request.raw_values.empty() || request.params.leaf_model != core::LeafModel::Linear || candidate.is_categorical) {
    return std::nullopt;
  }
  const LinearLeafPairRequest fit{learning_rate,
                                  request.options.split_l2,
                                  request.raw_values,
                                  request.binned.feature_count,
                                  candidate.feature_index,
                                  candidate.threshold_bin,
                                  candidate.default_left,
                                  terms,
                                  partition.left_rows,
                                  partition.right_rows};
  const std::optional<LinearLeafPair> pair =
      backend.compute_linear_leaf_pair_from_partitions(request.binned, request.gradients, fit);
  if (!pair) return std::nullopt;
  return adjust_linear_pair(*pair, depth_scale, request.controls.max_abs_leaf_value, node_value,
                            node_linear_leaf ? &*node_linear_leaf : nullptr);
}

// The sibling's histograms: parent minus child, matched by position, over the parent's feature
// indices with as many bins as the parent's first histogram. ContractViolation
// "parent histogram feature count {} does not match child histogram feature count {}".
// The parent is taken by value and its storage becomes the sibling's: a grower that is done with
// the parent moves it in, and the subtraction then allocates nothing.
core::HistogramBundle subtract_histogram_bundle(core::HistogramBundle parent, const core::HistogramBundle& child,
                                                std::uint32_t sibling_id);

// Hands a bundle the grower is done with back for reuse by later histogram builds.
void drop_histograms(core::HistogramBundle&& bundle);

// Hands a row list the grower is done with back for reuse by later partitions.
void drop_rows(core::RowList&& rows);

// Hands a partition's pair list back for reuse.
void drop_pairs(core::PairList&& pairs);

// The node's partition by the split. With `while_summing`, work done on the row lists: while the
// partition still adds up its sums when the backend offers that, else once it is complete. Not
// called when the partition fails.
template <BackendOps Backend>
core::PartitionResult partition_node(const Backend& backend, const TreeGrowthRequest& request,
                                     const core::NodeSlice& slice, const SplitCandidate& split,
                                     const WhileSumming& while_summing) {
  if constexpr (requires {
                  backend.apply_split_with_stats(request.binned, request.gradients, slice, split, while_summing);
                }) {
    if (while_summing) return backend.apply_split_with_stats(request.binned, request.gradients, slice, split, while_summing);
  }
  core::PartitionResult partition = backend.apply_split_with_stats(request.binned, request.gradients, slice, split);
  if (while_summing) while_summing(partition);
  return partition;
}

// Both children's histograms of an applied split, {left, right}: only the smaller child (the
// left one on equal counts) is built from its rows, its sibling is the parent minus it. The
// partition's row lists are lent to the build and are back in place on return.
struct ChildHistograms {
  core::HistogramBundle left;
  core::HistogramBundle right;
};
template <BackendOps Backend>
ChildHistograms build_child_histograms(const Backend& backend, const TreeGrowthRequest& request,
                                       core::HistogramBundle parent, core::PartitionResult& partition,
                                       std::uint32_t left_key, std::uint32_t right_key) {
  const bool build_right = partition.right_rows.size() < partition.left_rows.size();
  core::RowList& rows = build_right ? partition.right_rows : partition.left_rows;
  core::NodeSlice slice = node_slice(build_right ? right_key : left_key, std::move(rows));
  ChildHistograms children;
  core::HistogramBundle& built = build_right ? children.right : children.left;
  // The partition may hand over the smaller side's gradient pairs in its row order.
  const std::span<const core::GradientPair> pairs = partition.smaller_side_pairs;
  try {
    if constexpr (requires { backend.build_histograms(request.binned, request.gradients, slice,
                                                      request.feature_tiles, pairs); }) {
      built = backend.build_histograms(request.binned, request.gradients, slice, request.feature_tiles,
                                       pairs.size() == slice.row_indices.size() ? pairs
                                                                                : std::span<const core::GradientPair>{});
    } else {
      built = backend.build_histograms(request.binned, request.gradients, slice, request.feature_tiles);
    }
  } catch (...) {
    // The partition keeps its rows: a split whose children fail may still end as a leaf.
    rows = std::move(slice.row_indices);
    throw;
  }
  drop_pairs(std::move(partition.smaller_side_pairs));
  rows = std::move(slice.row_indices);
  (build_right ? children.left : children.right) =
      subtract_histogram_bundle(std::move(parent), built, build_right ? left_key : right_key);
  return children;
}

}  // namespace kestrune::engine::tree_build

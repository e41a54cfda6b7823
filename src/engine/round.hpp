// Keeping running predictions in step with the trees training produces: the per-split update a
// grower makes while a tree grows, and the walks of finished trees over binned rows.
//
// Side values are path increments: a row's output from a tree is the tree weight times the sum
// of the side values along its path, so predictions updated split by split during growth equal
// a later walk of the finished tree.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "core/binned.hpp"
#include "core/leaf.hpp"
#include "engine/trained_stump.hpp"

namespace kestrune::engine {

// The unquantized feature values of the rows being walked, row-major, `width` values per row.
// An empty value list counts as absent.
struct RawFeatureRows {
  std::span<const float> values;
  std::size_t width = 0;
};

// Adds `left_increment` to every left row, in list order, then `right_increment` to every right
// row. A row index not below the predictions' length is EngineError::ContractViolation; updates
// made before it stay made.
void apply_partition_leaf_updates(std::span<float> predictions, const core::PartitionResult& partition,
                                  float left_increment, float right_increment);

// Walks every row through one tree (the tree index bits of the node keys are ignored; a later
// stump with the same local id replaces an earlier one) and adds tree_weight x side value at
// each visited stump.
void apply_round_stumps_tree_walk(std::span<float> predictions, const core::BinnedMatrix& binned,
                                  std::span<const TrainedStump> stumps, std::optional<RawFeatureRows> raw);

// The same walk with `weight` in place of every stump's tree weight; a weight of +-0.0 changes
// nothing and returns at once (a NaN weight is applied).
void apply_weighted_round_to_predictions(std::span<float> predictions, const core::BinnedMatrix& binned,
                                         std::span<const TrainedStump> stumps, std::optional<RawFeatureRows> raw,
                                         float weight);

// Walks each run of adjacent stumps with the same tree index as one tree, in list order.
void apply_tree_to_binned_predictions(std::span<float> predictions, const core::BinnedMatrix& binned,
                                      std::span<const TrainedStump> stumps, std::optional<RawFeatureRows> raw);

// One tree's contribution to every binned row (zero where its walk adds nothing): the prediction
// walk over the stumps, at their tree weights, with linear sides as their intercepts.
std::vector<float> tree_predictions_for_binned_rows(const core::BinnedMatrix& binned,
                                                    std::span<const TrainedStump> stumps);

// intercept + sum over terms k (up to the shorter of the two lists) of coefficient k times
// raw[row_offset + feature k], skipping terms outside the list or on NaN; float32, in term order.
float linear_leaf_value_at(const core::LinearLeaf& leaf, std::span<const float> raw, std::size_t row_offset);

}  // namespace kestrune::engine

// The compute backend contract of tree growth. The growers are templates over a type that
// satisfies BackendOps, so every call is resolved at compile time; CpuBackend
// (backend_cpu/cpu_backend.hpp) is the one implementation.
//
// The growers work on several tree nodes at once: a backend's operations are called from several
// pool threads at the same time and must not share mutable state between calls.
//
// Every operation reports failures by throwing EngineError (core errors arrive wrapped as
// EngineError::Core); broken internal invariants panic.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>

#include "core/binned.hpp"
#include "core/histogram.hpp"
#include "core/leaf.hpp"
#include "engine/env.hpp"
#include "engine/split_candidate.hpp"

namespace kestrune::engine {

// Defined with the morph mode and the factor split penalty; the contract only passes them on.
struct MorphContext;
struct FactorSplitContext;

// (feature index, category count) of a feature searched with the categorical scan.
using CategoricalFeature = std::pair<std::size_t, std::size_t>;

// What a linear-leaf fit of a split's two children reads.
struct LinearLeafPairRequest {
  float scale = 0.0f;         // the learning rate in effect
  float lambda = 0.0f;        // ridge term of the normal equations
  std::span<const float> raw_values;  // row-major, raw_feature_count values per row
  std::size_t raw_feature_count = 0;
  std::uint32_t split_feature_index = 0;
  std::uint16_t threshold_bin = 0;
  bool default_left = false;
  std::span<const std::uint32_t> term_feature_indices;
  std::span<const std::uint32_t> left_rows;
  std::span<const std::uint32_t> right_rows;
};

using LinearLeafPair = std::pair<core::LinearLeaf, core::LinearLeaf>;

// Work a grower does with a partition's row lists while the partition still adds up the sides'
// sums, which a backend may offer as apply_split_with_stats(binned, gradients, node, split,
// while_summing): called on the calling thread with both lists (and the smaller side's pairs)
// final and the statistics not yet filled in, which it must not read. It may take the lists'
// contents, must put back any row list it borrows, and must not throw. It is not called when the
// partition fails.
using WhileSumming = std::function<void(core::PartitionResult&)>;

template <typename Backend>
concept BackendOps = requires(const Backend& backend, const core::BinnedMatrix& binned,
                              std::span<const core::GradientPair> gradients, const core::NodeSlice& node,
                              std::span<const core::FeatureTile> feature_tiles, const SplitCandidate& split,
                              const core::HistogramBundle& bundle, const SplitSelectionOptions& options,
                              std::span<const float> feature_weights,
                              std::span<const CategoricalFeature> categorical_features,
                              const MorphContext& morph_context,
                              const FactorSplitContext* factor_context,  // nullptr when absent
                              const LinearLeafPairRequest& linear_request) {
  // One histogram per feature of the tiles, tiles in the given order.
  { backend.build_histograms(binned, gradients, node, feature_tiles) } -> std::same_as<core::HistogramBundle>;
  // The node's rows divided by the split, in node order, with each side's sums.
  { backend.apply_split_with_stats(binned, gradients, node, split) } -> std::same_as<core::PartitionResult>;
  // The best split of the node's histograms, absent when no feature gives an acceptable one.
  {
    backend.best_split_with_factor_context(bundle, options, feature_weights, categorical_features, factor_context)
  } -> std::same_as<std::optional<SplitCandidate>>;
  {
    backend.best_split_morph_with_factor_context(bundle, options, feature_weights, categorical_features,
                                                 morph_context, factor_context)
  } -> std::same_as<std::optional<SplitCandidate>>;
  // Linear models of the two children of an applied split; absent when the fit is not usable.
  {
    backend.compute_linear_leaf_pair_from_partitions(binned, gradients, linear_request)
  } -> std::same_as<std::optional<LinearLeafPair>>;
};

}  // namespace kestrune::engine

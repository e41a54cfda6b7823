// The CPU implementation of the backend contract. It holds no state: one value serves every
// tree and round, and each operation forwards to its free function.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "backend_cpu/histogram.hpp"
#include "backend_cpu/linear_leaves.hpp"
#include "backend_cpu/partition.hpp"
#include "backend_cpu/split_search.hpp"
#include "engine/backend_ops.hpp"

namespace kestrune::backend_cpu {

class CpuBackend {
 public:
  core::HistogramBundle build_histograms(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                         const core::NodeSlice& node,
                                         std::span<const core::FeatureTile> feature_tiles) const {
    return backend_cpu::build_histograms(binned, gradients, node, feature_tiles);
  }

  // The same, given the node's gradient pairs in node order (see backend_cpu::build_histograms).
  core::HistogramBundle build_histograms(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                         const core::NodeSlice& node, std::span<const core::FeatureTile> feature_tiles,
                                         std::span<const core::GradientPair> node_pairs) const {
    return backend_cpu::build_histograms(binned, gradients, node, feature_tiles, node_pairs);
  }

  core::PartitionResult apply_split_with_stats(const core::BinnedMatrix& binned,
                                               std::span<const core::GradientPair> gradients,
                                               const core::NodeSlice& node, const engine::SplitCandidate& split) const {
    return backend_cpu::apply_split_with_stats(binned, gradients, node, split);
  }

  // The same, with work done on the row lists while the sums are added (see
  // backend_cpu::apply_split_with_stats).
  core::PartitionResult apply_split_with_stats(const core::BinnedMatrix& binned,
                                               std::span<const core::GradientPair> gradients,
                                               const core::NodeSlice& node, const engine::SplitCandidate& split,
                                               const WhileSumming& while_summing) const {
    return backend_cpu::apply_split_with_stats(binned, gradients, node, split, while_summing);
  }

  std::optional<engine::SplitCandidate> best_split_with_factor_context(
      const core::HistogramBundle& bundle, const engine::SplitSelectionOptions& options,
      std::span<const float> feature_weights, std::span<const engine::CategoricalFeature> categorical_features,
      const engine::FactorSplitContext* factor_context) const {
    return backend_cpu::best_split_with_factor_context(bundle, options, feature_weights, categorical_features,
                                                       factor_context);
  }

  // The selection over features without validating the factor context first.
  std::optional<engine::SplitCandidate> best_split_with_options_internal(
      const core::HistogramBundle& bundle, const engine::SplitSelectionOptions& options,
      std::span<const float> feature_weights, std::span<const engine::CategoricalFeature> categorical_features,
      const engine::FactorSplitContext* factor_context) const {
    return backend_cpu::best_split_with_options_internal(bundle, options, feature_weights, categorical_features,
                                                         nullptr, factor_context);
  }

  // The general threshold scan of one histogram.
  std::optional<engine::SplitCandidate> best_split_for_feature_inner(
      const core::FeatureHistogram& histogram, std::uint32_t node_id, const engine::SplitSelectionOptions& options,
      const engine::MorphContext* morph_context, const engine::FactorSplitContext* factor_context) const {
    return backend_cpu::best_split_for_feature_inner(histogram, node_id, options, morph_context, factor_context);
  }

  std::optional<engine::SplitCandidate> best_split_morph_with_factor_context(
      const core::HistogramBundle& bundle, const engine::SplitSelectionOptions& options,
      std::span<const float> feature_weights, std::span<const engine::CategoricalFeature> categorical_features,
      const engine::MorphContext& morph_context, const engine::FactorSplitContext* factor_context) const {
    return backend_cpu::best_split_morph_with_factor_context(bundle, options, feature_weights, categorical_features,
                                                             morph_context, factor_context);
  }

  std::optional<engine::LinearLeafPair> compute_linear_leaf_pair_from_partitions(
      const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
      const engine::LinearLeafPairRequest& request) const {
    return backend_cpu::solve_pl_leaf_pair_from_partitions(binned, gradients, request);
  }
};

static_assert(engine::BackendOps<CpuBackend>);

}  // namespace kestrune::backend_cpu

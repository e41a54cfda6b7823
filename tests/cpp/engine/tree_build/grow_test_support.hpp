// Shared set-up of the grower tests: a tree-growth scenario (data, parameters, controls) and a
// call of either grower on it.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include "backend_cpu/cpu_backend.hpp"
#include "core/binned.hpp"
#include "core/config.hpp"
#include "engine/env.hpp"
#include "engine/tree_build/leaf_wise.hpp"
#include "engine/tree_build/level_wise.hpp"
#include "engine/types.hpp"

namespace kestrune::engine::tree_build::testing_support {

enum class Growth { Leaf, Level };

struct GrowScenario {
  core::BinnedMatrix binned;
  std::vector<core::GradientPair> gradients;
  std::vector<float> raw_values;
  core::TrainParams params;
  IterationControls controls = IterationControls::make(1, 1, 0, 0.0f, 0.0f, 1e6f, 0.0f);
  SplitSelectionOptions options;
  std::vector<core::FeatureTile> tiles;
  core::RowList rows;  // root rows
  std::vector<float> feature_weights;
  std::vector<CategoricalFeature> categorical_features;
};

// The CPU backend behind every operation, for test backends to derive from: each hides only the
// operations it records, delays or stands in for.
class CpuForwardingBackend {
 public:
  core::HistogramBundle build_histograms(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                         const core::NodeSlice& node, std::span<const core::FeatureTile> tiles) const {
    return cpu_.build_histograms(binned, gradients, node, tiles);
  }
  core::PartitionResult apply_split_with_stats(const core::BinnedMatrix& binned,
                                               std::span<const core::GradientPair> gradients,
                                               const core::NodeSlice& node, const SplitCandidate& split) const {
    return cpu_.apply_split_with_stats(binned, gradients, node, split);
  }
  std::optional<SplitCandidate> best_split_with_factor_context(const core::HistogramBundle& bundle,
                                                               const SplitSelectionOptions& options,
                                                               std::span<const float> weights,
                                                               std::span<const CategoricalFeature> categorical,
                                                               const FactorSplitContext* factor) const {
    return cpu_.best_split_with_factor_context(bundle, options, weights, categorical, factor);
  }
  std::optional<SplitCandidate> best_split_morph_with_factor_context(
      const core::HistogramBundle& bundle, const SplitSelectionOptions& options, std::span<const float> weights,
      std::span<const CategoricalFeature> categorical, const MorphContext& morph,
      const FactorSplitContext* factor) const {
    return cpu_.best_split_morph_with_factor_context(bundle, options, weights, categorical, morph, factor);
  }
  std::optional<LinearLeafPair> compute_linear_leaf_pair_from_partitions(const core::BinnedMatrix& binned,
                                                                         std::span<const core::GradientPair> gradients,
                                                                         const LinearLeafPairRequest& request) const {
    return cpu_.compute_linear_leaf_pair_from_partitions(binned, gradients, request);
  }

 protected:
  backend_cpu::CpuBackend cpu_;
};

// One tile over every feature and every row at the root.
inline GrowScenario scenario_from(core::BinnedMatrix binned, std::vector<core::GradientPair> gradients) {
  GrowScenario s;
  s.options.missing_bin = binned.missing_bin;
  s.tiles = {core::FeatureTile::make(0, static_cast<std::uint32_t>(binned.feature_count))};
  s.rows.resize(binned.row_count);
  for (std::size_t i = 0; i < s.rows.size(); ++i) s.rows[i] = static_cast<std::uint32_t>(i);
  s.binned = std::move(binned);
  s.gradients = std::move(gradients);
  return s;
}

template <typename Backend = backend_cpu::CpuBackend>
GrownTree grow(const GrowScenario& s, Growth growth, std::vector<float>& predictions, std::size_t tree_index = 0,
               const Backend& backend = Backend{}) {
  TreeGrowthRequest request{.binned = s.binned,
                            .gradients = s.gradients,
                            .root_rows = s.rows,
                            .tree_index = tree_index,
                            .feature_tiles = s.tiles,
                            .options = s.options,
                            .params = s.params,
                            .controls = s.controls,
                            .predictions = predictions,
                            .feature_weights = s.feature_weights,
                            .categorical_features = s.categorical_features,
                            .morph = std::nullopt,
                            .raw_values = s.raw_values,
                            .factor_exposures = nullptr};
  return growth == Growth::Leaf ? build_tree_leaf_wise(backend, std::move(request))
                                : build_tree_level_wise(backend, std::move(request));
}

// Random binned data with repeated codes 0..value_bins-1 and missing cells, and gradient pairs
// with positive hessians. Narrow storage holds 8-bit codes with the missing bin 255 (max_bin 255);
// wide storage holds 16-bit codes whose missing bin is the last bin, max_bin = value_bins.
inline GrowScenario random_scenario(std::mt19937_64& rng, std::size_t rows, std::size_t features,
                                    std::uint16_t value_bins, bool wide = false) {
  const std::uint16_t missing = wide ? value_bins : 255;
  std::vector<std::uint16_t> codes(rows * features);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (std::size_t f = 0; f < features; ++f) {
    const float missing_share = unit(rng) < 0.5f ? 0.0f : 0.2f;
    for (std::size_t r = 0; r < rows; ++r) {
      codes[r * features + f] =
          unit(rng) < missing_share ? missing : static_cast<std::uint16_t>(rng() % value_bins);
    }
  }
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<core::GradientPair> gradients(rows);
  for (std::size_t r = 0; r < rows; ++r) {
    // A signal on feature 0 so that splits have something to find.
    const std::uint16_t code = codes[r * features];
    const float signal = code != missing && code * 2 >= value_bins ? 1.0f : -1.0f;
    gradients[r] = {signal + noise(rng), 0.25f + unit(rng)};
  }
  if (wide) {
    return scenario_from(core::BinnedMatrix::make_u16(rows, features, value_bins, missing, std::move(codes)),
                         std::move(gradients));
  }
  std::vector<std::uint8_t> narrow(codes.begin(), codes.end());
  return scenario_from(core::BinnedMatrix::make(rows, features, 255, std::move(narrow)), std::move(gradients));
}

}  // namespace kestrune::engine::tree_build::testing_support

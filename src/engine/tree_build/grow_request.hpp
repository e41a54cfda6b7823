// What one call of a tree grower receives and returns. Both growers (leaf-wise and level-wise)
// take the same request: the round's data, rows, features and regularisers, and the training
// predictions they update in place with the tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "core/binned.hpp"
#include "core/config.hpp"
#include "core/histogram.hpp"
#include "core/neutralization.hpp"
#include "engine/backend_ops.hpp"
#include "engine/env.hpp"
#include "engine/trained_stump.hpp"
#include "engine/types.hpp"

namespace kestrune::engine {
struct MorphState;
}  // namespace kestrune::engine

namespace kestrune::engine::tree_build {

// The morph arguments of one tree: the fit's state, the output grown, where the round stands in
// the schedule, and the round's learning rate (it replaces `learning_rate` for the leaf values).
struct MorphTreeContext {
  const MorphState* state = nullptr;
  std::size_t output_index = 0;
  std::uint32_t iteration = 0;
  std::uint32_t total_rounds = 0;
  float learning_rate = 0.0f;
};

struct TreeGrowthRequest {
  const core::BinnedMatrix& binned;
  std::span<const core::GradientPair> gradients;  // one per matrix row
  core::RowList root_rows;            // the round's sampled rows; taken over
  std::size_t tree_index = 0;                      // high part of every node key
  std::span<const core::FeatureTile> feature_tiles;
  const SplitSelectionOptions& options;
  const core::TrainParams& params;
  const IterationControls& controls;
  std::span<float> predictions;  // one per matrix row, gains the tree's path increments
  std::span<const float> feature_weights;
  std::span<const CategoricalFeature> categorical_features;
  std::optional<MorphTreeContext> morph;
  // Raw feature values, row-major with binned.feature_count values per row, NaN = missing; empty
  // for a shape-only matrix. Only linear leaves read them.
  std::span<const float> raw_values;
  const core::FactorExposureMatrix* factor_exposures = nullptr;  // split penalty only
  // Called once the tree is grown, before its increments go into `predictions` (the growers
  // write nothing there before it): false leaves the predictions as they are. A trainer that
  // has not yet judged the previous round settles it here, while `predictions` is still untouched.
  std::function<bool()> before_updates;
};

// The split records in the order the splits were made, and why growth ended:
// CompletedRequestedRounds for any non-empty tree, else the reason of the last refusal.
struct GrownTree {
  std::vector<TrainedStump> stumps;
  IterationStopReason stop_reason = IterationStopReason::NoSplitCandidate;
};

}  // namespace kestrune::engine::tree_build

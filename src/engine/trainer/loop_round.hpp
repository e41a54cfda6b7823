// The per-round steps of the single-output loop that do not depend on the objective: turning the
// round's gradient pairs into what the tree grower consumes (neutralized gradients, the sampled
// rows, the feature tiles, the round's diagnostics), and carrying a grown tree onto the rows the
// grower did not see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/binned.hpp"
#include "core/config.hpp"
#include "core/dataset.hpp"
#include "core/histogram.hpp"
#include "engine/factor.hpp"
#include "engine/round.hpp"
#include "engine/trained_stump.hpp"
#include "engine/types.hpp"

namespace kestrune::engine::trainer {

struct RoundSample {
  core::RowList rows;  // ascending
  std::vector<core::FeatureTile> tiles;
  std::size_t sampled_feature_count = 0;
  // The gradient norm before the projection (0 without a projector), for the diagnostics.
  float pre_projection_norm = 0.0f;
  IterationDiagnostics diagnostics;
};

// `to` = `from`, element by element on the pool: a round's working predictions start as a copy of
// the kept ones. The two must have one length.
void copy_predictions(std::span<const float> from, std::span<float> to);

// In order: the pre-projection gradient norm and the projection (with a projector), the row
// sample (GOSS re-weights the drawn rows' pairs in place), the feature tiles and the pair count
// check against `row_count`. Errors of the projector, the tiling and the count check pass
// through. The diagnostics of the pairs as they then stand are the caller's.
RoundSample prepare_round_sample(const core::BoostingMode& mode, const IterationControls& controls,
                                 std::size_t feature_count, std::size_t row_count, std::uint64_t seed_base,
                                 std::uint64_t iteration, const FactorProjector* projector,
                                 std::vector<core::GradientPair>& gradients);

// float64 L2 norm of the finite gradients, rounded once to float32.
float finite_gradient_l2_norm(std::span<const core::GradientPair> gradients);

// The projector of every round when the parameters neutralize gradients, else none. It borrows
// the dataset's exposures and weights. ContractViolation "factor_exposures are required when
// neutralization is active" without exposures; the projector's own errors pass through.
std::optional<FactorProjector> round_gradient_projector(const core::TrainParams& params,
                                                        const core::TrainingDataset& dataset);

// The rows below `row_count` that are not in the ascending list `selected`.
std::vector<std::uint32_t> unselected_rows(std::span<const std::uint32_t> selected, std::size_t row_count);

// A dataset's raw values as the tree walks read them; absent for a shape-only matrix.
std::optional<RawFeatureRows> raw_feature_rows(const core::TrainingDataset& dataset);

// Adds the new tree to `working` on every row of `rows` (the rows the grower did not reach),
// walking it from `start`, the predictions the round began with; the walk adds side value by
// side value exactly as a fresh prediction does. `scratch` is reused between rounds.
void add_tree_on_rows(std::span<float> working, std::span<const float> start, std::vector<float>& scratch,
                      const core::BinnedMatrix& binned, std::span<const TrainedStump> stumps,
                      std::optional<RawFeatureRows> raw, std::span<const std::uint32_t> rows);

}  // namespace kestrune::engine::trainer

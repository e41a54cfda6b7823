#include "engine/trainer/loop_round.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <variant>

#include "backend_cpu/row_store.hpp"
#include "engine/error.hpp"
#include "engine/objectives/contract.hpp"
#include "engine/sampling.hpp"
#include "engine/tiling.hpp"
#include "engine/trainer/validate.hpp"
#include "parallel/parallel.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::trainer {

namespace {

// Rows per task of the per-round copies: one task is a few hundred kilobytes of stores.
constexpr std::size_t kRoundCopyChunk = std::size_t{1} << 16;

// Whether the round's draw keeps every row: not GOSS and a full row rate (the draw then lists
// the rows in order, whatever the seed).
bool keeps_every_row(const core::BoostingMode& mode, std::size_t row_count, float row_subsample) {
  return !std::holds_alternative<core::GossBoosting>(mode) && row_subsample >= 1.0f &&
         row_count - 1 <= std::numeric_limits<std::uint32_t>::max();
}

// Every row in order, in a row list the grower handed back from an earlier tree: the general
// draw builds a list of machine-word indices and copies it, on fresh pages every round.
core::RowList every_row(std::size_t row_count) {
  core::RowList rows = backend_cpu::take_row_list(row_count);
  rows.resize(row_count);
  parallel::parallel_for_chunks(row_count, kRoundCopyChunk, [&](std::size_t first, std::size_t end) {
    std::iota(rows.begin() + static_cast<std::ptrdiff_t>(first), rows.begin() + static_cast<std::ptrdiff_t>(end),
              static_cast<std::uint32_t>(first));
  });
  return rows;
}

}  // namespace

float finite_gradient_l2_norm(std::span<const core::GradientPair> gradients) {
  double sum_sq = 0.0;
  for (const core::GradientPair& pair : gradients) {
    if (std::isfinite(pair.grad)) sum_sq += static_cast<double>(pair.grad) * static_cast<double>(pair.grad);
  }
  return static_cast<float>(std::sqrt(sum_sq));
}

void copy_predictions(std::span<const float> from, std::span<float> to) {
  support::invariant(from.size() == to.size(), "working and training predictions differ in length");
  parallel::parallel_for_chunks(from.size(), kRoundCopyChunk, [&](std::size_t first, std::size_t end) {
    std::copy(from.begin() + static_cast<std::ptrdiff_t>(first), from.begin() + static_cast<std::ptrdiff_t>(end),
              to.begin() + static_cast<std::ptrdiff_t>(first));
  });
}

RoundSample prepare_round_sample(const core::BoostingMode& mode, const IterationControls& controls,
                                 std::size_t feature_count, std::size_t row_count, std::uint64_t seed_base,
                                 std::uint64_t iteration, const FactorProjector* projector,
                                 std::vector<core::GradientPair>& gradients) {
  float pre_projection_norm = 0.0f;
  if (projector != nullptr) {
    pre_projection_norm = finite_gradient_l2_norm(gradients);
    projector->project_gradient_pairs_in_place(gradients);
  }
  RoundSample sample;
  sample.rows = keeps_every_row(mode, row_count, controls.row_subsample)
                    ? every_row(row_count)
                    : select_row_indices_for_round(mode, row_count, seed_base, iteration, gradients,
                                                   controls.row_subsample);
  SampledFeatureTiles tiles = sampled_feature_tiles(feature_count, seed_base, iteration, controls.col_subsample);
  sample.tiles = std::move(tiles.tiles);
  sample.sampled_feature_count = tiles.sampled_feature_count;
  validate_gradient_pair_length(gradients, row_count);
  sample.pre_projection_norm = pre_projection_norm;
  return sample;
}

std::optional<FactorProjector> round_gradient_projector(const core::TrainParams& params,
                                                        const core::TrainingDataset& dataset) {
  const std::optional<core::NeutralizationConfig> config = gradient_neutralization_config(params);
  if (!config) return std::nullopt;
  if (!dataset.factor_exposures) {
    throw EngineError::contract_violation("factor_exposures are required when neutralization is active");
  }
  objectives::Weights weights;
  if (dataset.sample_weights) weights = std::span<const float>(*dataset.sample_weights);
  return FactorProjector::make(*dataset.factor_exposures, weights, config->factor_neutralization_lambda);
}

std::vector<std::uint32_t> unselected_rows(std::span<const std::uint32_t> selected, std::size_t row_count) {
  std::vector<std::uint32_t> rest;
  if (selected.size() >= row_count) return rest;
  rest.reserve(row_count - selected.size());
  std::size_t next = 0;
  for (std::size_t row = 0; row < row_count; ++row) {
    if (next < selected.size() && selected[next] == row) {
      ++next;
    } else {
      rest.push_back(static_cast<std::uint32_t>(row));
    }
  }
  return rest;
}

std::optional<RawFeatureRows> raw_feature_rows(const core::TrainingDataset& dataset) {
  if (dataset.matrix.values.empty()) return std::nullopt;
  return RawFeatureRows{dataset.matrix.values, dataset.matrix.feature_count};
}

void add_tree_on_rows(std::span<float> working, std::span<const float> start, std::vector<float>& scratch,
                      const core::BinnedMatrix& binned, std::span<const TrainedStump> stumps,
                      std::optional<RawFeatureRows> raw, std::span<const std::uint32_t> rows) {
  if (rows.empty() || stumps.empty()) return;
  support::invariant(working.size() == start.size(), "working and training predictions differ in length");
  scratch.assign(start.begin(), start.end());
  apply_round_stumps_tree_walk(scratch, binned, stumps, raw);
  for (const std::uint32_t row : rows) {
    support::invariant(row < working.size(), "unselected row outside the predictions");
    working[row] = scratch[row];
  }
}

}  // namespace kestrune::engine::trainer

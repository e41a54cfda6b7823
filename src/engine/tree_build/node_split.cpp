#include "engine/tree_build/node_split.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "backend_cpu/histogram_store.hpp"
#include "backend_cpu/row_store.hpp"
#include "backend_cpu/histogram_subtract.hpp"
#include "engine/error.hpp"
#include "engine/morph.hpp"
#include "engine/round.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::tree_build {

namespace {

// The largest number of terms a linear leaf carries.
constexpr std::size_t kMaxLinearTerms = 8;

bool too_few_rows(std::size_t rows, std::size_t min_rows) { return rows == 0 || rows < min_rows; }

core::LinearLeaf scaled_model(const core::LinearLeaf& fitted, float depth_scale, float max_abs_leaf_value) {
  core::LinearLeaf model = fitted;
  for (float& coefficient : model.coefficients) coefficient *= depth_scale;
  model.intercept = clamp_leaf_value(model.intercept * depth_scale, max_abs_leaf_value);
  return model;
}

core::LinearLeaf increment_model(const core::LinearLeaf& model, float node_value, const core::LinearLeaf* parent) {
  core::LinearLeaf increment = model;
  increment.intercept = model.intercept - node_value;
  if (parent != nullptr) {
    const std::size_t shared = std::min(increment.coefficients.size(), parent->coefficients.size());
    for (std::size_t k = 0; k < shared; ++k) increment.coefficients[k] -= parent->coefficients[k];
  }
  return increment;
}

}  // namespace

float split_depth_scale(const std::optional<MorphTreeContext>& morph, std::size_t depth) {
  if (!morph) return 1.0f;
  support::invariant(morph->state != nullptr, "morph tree context without its state");
  return morph_depth_scale(morph->state->config, depth, morph->iteration, morph->total_rounds);
}

float child_leaf_value(const core::HistogramBin& stats, const SplitSelectionOptions& options, float learning_rate) {
  const float effective = core::leaf_effective_gradient(stats.grad_sum, stats.grad_sq_sum, stats.count,
                                                        options.split_l1, options.gradient_noise_strength);
  return (effective * -learning_rate) / ((options.split_l2 + stats.hess_sum) + core::kLeafDenominatorEpsilon);
}

float clamp_leaf_value(float value, float max_abs) {
  if (value > max_abs) return max_abs;
  if (value < -max_abs) return -max_abs;
  return value;
}

SplitAssessment assess_applied_split(const core::PartitionResult& partition, std::size_t node_row_count,
                                     float node_value, std::uint32_t split_feature, float learning_rate,
                                     float depth_scale, const SplitSelectionOptions& options,
                                     const IterationControls& controls,
                                     std::span<const std::int8_t> monotone_constraints) {
  const std::size_t left_rows = partition.left_rows.size();
  const std::size_t right_rows = partition.right_rows.size();
  if (left_rows + right_rows != node_row_count) {
    throw EngineError::contract_violation("split partition does not cover all node rows");
  }
  SplitAssessment assessment;
  if (too_few_rows(left_rows, controls.min_rows_per_leaf) || too_few_rows(right_rows, controls.min_rows_per_leaf)) {
    assessment.refusal = IterationStopReason::LeafRowsBelowThreshold;
    return assessment;
  }
  if (partition.left_stats.hess_sum <= 0.0f || partition.right_stats.hess_sum <= 0.0f) {
    throw EngineError::contract_violation("backend produced non-positive hessian sums");
  }
  float left = child_leaf_value(partition.left_stats, options, learning_rate) * depth_scale;
  float right = child_leaf_value(partition.right_stats, options, learning_rate) * depth_scale;
  left = clamp_leaf_value(left, controls.max_abs_leaf_value);
  right = clamp_leaf_value(right, controls.max_abs_leaf_value);
  assessment.values = {left, right};
  // Both tests strict; a NaN difference never counts as small.
  if (std::fabs(left - node_value) < controls.min_abs_leaf_value &&
      std::fabs(right - node_value) < controls.min_abs_leaf_value) {
    assessment.refusal = IterationStopReason::LeafMagnitudeBelowThreshold;
    return assessment;
  }
  if (split_feature < monotone_constraints.size()) {
    const std::int8_t direction = monotone_constraints[split_feature];
    if ((direction == 1 && left > right) || (direction == -1 && left < right)) {
      assessment.refusal = IterationStopReason::MonotoneConstraintViolation;
    }
  }
  return assessment;
}

std::vector<std::uint32_t> linear_leaf_terms(std::size_t feature_count) {
  std::vector<std::uint32_t> terms(std::min(feature_count, kMaxLinearTerms));
  for (std::size_t k = 0; k < terms.size(); ++k) terms[k] = static_cast<std::uint32_t>(k);
  return terms;
}

LinearChildren adjust_linear_pair(const LinearLeafPair& pair, float depth_scale, float max_abs_leaf_value,
                                  float node_value, const core::LinearLeaf* parent) {
  LinearChildren children;
  children.left = scaled_model(pair.first, depth_scale, max_abs_leaf_value);
  children.right = scaled_model(pair.second, depth_scale, max_abs_leaf_value);
  children.left_increment = increment_model(children.left, node_value, parent);
  children.right_increment = increment_model(children.right, node_value, parent);
  return children;
}

void apply_linear_leaf_updates(std::span<float> predictions, std::span<const std::uint32_t> rows,
                               const core::LinearLeaf& increment, std::span<const float> raw_values,
                               std::size_t feature_count) {
  for (std::uint32_t row : rows) {
    if (row >= predictions.size()) continue;
    // A row whose offset overflows has no raw values: only the intercept applies.
    const std::size_t offset = support::checked_mul(row, feature_count).value_or(raw_values.size());
    predictions[row] += linear_leaf_value_at(increment, raw_values, offset);
  }
}

TrainedStump make_split_record(const SplitCandidate& candidate, const core::PartitionResult& partition,
                               core::LeafValue left, core::LeafValue right) {
  TrainedStump stump;
  stump.node_id = candidate.node_id;
  stump.feature_index = candidate.feature_index;
  stump.split_bin = candidate.threshold_bin;
  stump.default_left = candidate.default_left;
  stump.categorical = candidate.is_categorical;
  if (candidate.category_bitset) stump.category_bitset = *candidate.category_bitset;
  stump.gain = candidate.gain;
  stump.left_stats = partition.left_stats;
  stump.right_stats = partition.right_stats;
  stump.left = std::move(left);
  stump.right = std::move(right);
  stump.tree_weight = 1.0f;
  return stump;
}

TrainedStump made_split_record(const SplitCandidate& candidate, const core::PartitionResult& partition,
                               const ChildValues& values, float node_value,
                               const std::optional<LinearChildren>& linear) {
  if (linear) return make_split_record(candidate, partition, linear->left_increment, linear->right_increment);
  return make_split_record(candidate, partition, values.left - node_value, values.right - node_value);
}

core::NodeSlice node_slice(std::uint32_t key, core::RowList rows) {
  return with_core_errors([&] { return core::NodeSlice::make(key, std::move(rows)); });
}

core::HistogramBundle subtract_histogram_bundle(core::HistogramBundle parent, const core::HistogramBundle& child,
                                                std::uint32_t sibling_id) {
  const std::size_t bins = parent.histograms.empty() ? 0 : parent.histograms.front().bins.size();
  if (parent.histograms.size() != child.histograms.size()) {
    throw EngineError::contract_violation("parent histogram feature count " + std::to_string(parent.histograms.size()) +
                                          " does not match child histogram feature count " +
                                          std::to_string(child.histograms.size()));
  }
  // The parent's bins become the sibling's: each bin is read and written once, and no memory is
  // allocated or zeroed first.
  parent.node_id = sibling_id;
  for (std::size_t i = 0; i < parent.histograms.size(); ++i) {
    std::vector<core::HistogramBin>& out = parent.histograms[i].bins;
    const std::span<const core::HistogramBin> taken = child.histograms[i].bins;
    const std::size_t n = std::min({bins, out.size(), taken.size()});
    backend_cpu::subtract_histogram_bins(std::span(out).first(n), taken, std::span(out).first(n));
    // Bins past what both lists hold are zero, and every histogram has the first one's length.
    out.resize(bins);
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(n), out.end(), core::HistogramBin{});
  }
  return parent;
}

void drop_histograms(core::HistogramBundle&& bundle) { backend_cpu::recycle_histograms(std::move(bundle)); }

void drop_rows(core::RowList&& rows) { backend_cpu::recycle_rows(std::move(rows)); }

void drop_pairs(core::PairList&& pairs) { backend_cpu::recycle_pairs(std::move(pairs)); }

}  // namespace kestrune::engine::tree_build

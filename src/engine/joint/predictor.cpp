// Loading and row evaluation of the joint predictor.
#include "engine/joint/predictor.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <unordered_set>

#include "engine/error.hpp"
#include "engine/joint/error.hpp"
#include "engine/joint/objective_text.hpp"
#include "engine/trained_model.hpp"
#include "engine/tree_node.hpp"
#include "support/boxed.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::joint {

namespace {

constexpr std::uint32_t kLocalIdMask = 0xFFFFFu;

std::uint64_t mask_from_bitset(const support::Boxed<std::vector<std::uint8_t>>& bitset) {
  std::uint64_t mask = 0;
  if (!bitset) return mask;
  const std::size_t bytes = std::min<std::size_t>(bitset->size(), 8);
  for (std::size_t i = 0; i < bytes; ++i) mask |= std::uint64_t{(*bitset)[i]} << (8 * i);
  return mask;
}

// Which side a row takes at one stump. Float values become integers by saturating truncation, so
// a huge or negative category is simply "not one of 0..63" and follows the missing-value side.
bool goes_left(const JointPredictorStump& stump, std::span<const float> row) {
  const bool default_left = stump.default_left != 0;
  if (stump.feature_index >= row.size()) return default_left;
  const float x = row[stump.feature_index];
  if (std::isnan(x)) return default_left;
  if (stump.categorical != 0) {
    const auto category = support::saturating_cast<std::int64_t>(x);
    if (category < 0 || category >= 64) return default_left;
    return ((stump.mask >> category) & 1u) != 0;
  }
  return support::saturating_cast<std::int32_t>(x) <= static_cast<std::int32_t>(stump.split_bin);
}

}  // namespace

void check_unique_node_keys(std::span<const TrainedStump> stumps) {
  std::unordered_set<std::uint32_t> seen;
  std::optional<std::uint32_t> repeated;
  for (const TrainedStump& stump : stumps) {
    if (seen.insert(stump.node_id).second) continue;
    if (!repeated || tree_index_of(stump.node_id) < tree_index_of(*repeated)) repeated = stump.node_id;
  }
  if (repeated) {
    throw JointError("tree " + std::to_string(tree_index_of(*repeated)) + " contains duplicate local node_id " +
                     std::to_string(local_id_of(*repeated)));
  }
}

JointPredictor JointPredictor::from_artifact_bytes(std::span<const std::uint8_t> artifact,
                                                   std::vector<float> baselines) {
  TrainedModel model;
  try {
    model = TrainedModel::from_artifact_bytes_with_mode(artifact, 1);
  } catch (const EngineError& error) {
    throw JointError(error.debug());
  }
  const auto first = std::find_if(model.stumps.begin(), model.stumps.end(),
                                  [](const TrainedStump& stump) { return stump.multi_output.has_value(); });
  std::size_t k_count = 0;
  if (first != model.stumps.end()) {
    k_count = first->multi_output->left.size();
  } else if (const std::optional<std::size_t> outputs = joint_output_count_of(model.objective);
             outputs && model.stumps.empty()) {
    k_count = *outputs;  // a joint fit that found no split: it scores its baselines
  } else {
    throw JointError("artifact does not carry MultiOutputLeafValues");
  }
  if (baselines.size() != k_count) {
    throw JointError("baselines length " + std::to_string(baselines.size()) + " != n_outputs " +
                     std::to_string(k_count));
  }
  check_unique_node_keys(model.stumps);

  JointPredictor predictor;
  predictor.baselines_ = std::move(baselines);
  predictor.n_outputs_ = k_count;
  for (TrainedStump& stump : model.stumps) {
    if (!stump.multi_output) continue;
    // The artifact reader gives every stump entry 2K values; the walk relies on it.
    support::invariant(stump.multi_output->left.size() == k_count && stump.multi_output->right.size() == k_count,
                       "multi-output stump values differ in length from the first stump's");
    JointPredictorStump entry;
    entry.left_values = std::move(stump.multi_output->left);
    entry.right_values = std::move(stump.multi_output->right);
    entry.mask = mask_from_bitset(stump.category_bitset);
    entry.local_id = stump.node_id & kLocalIdMask;
    entry.feature_index = stump.feature_index;
    entry.split_bin = stump.split_bin;
    entry.default_left = stump.default_left ? 1 : 0;
    entry.categorical = stump.categorical ? 1 : 0;
    const std::size_t tree = stump.node_id >> 20;
    while (predictor.trees_.size() <= tree) {
      predictor.trees_.emplace_back();
      predictor.tree_weights_.push_back(1.0f);
    }
    if (predictor.trees_[tree].empty()) predictor.tree_weights_[tree] = stump.tree_weight;
    predictor.trees_[tree].push_back(predictor.stumps_.size());
    predictor.stumps_.push_back(std::move(entry));
  }

  // Node lookup per tree, built once; the local ids of a tree are unique.
  predictor.nodes_.resize(predictor.trees_.size());
  for (std::size_t t = 0; t < predictor.trees_.size(); ++t) {
    std::vector<NodeEntry>& nodes = predictor.nodes_[t];
    for (const std::size_t position : predictor.trees_[t]) {
      nodes.push_back(NodeEntry{predictor.stumps_[position].local_id, position});
    }
    std::sort(nodes.begin(), nodes.end(),
              [](const NodeEntry& a, const NodeEntry& b) { return a.local_id < b.local_id; });
  }
  return predictor;
}

const JointPredictorStump* JointPredictor::find_node(std::size_t tree, std::uint32_t local_id) const {
  const std::vector<NodeEntry>& nodes = nodes_[tree];
  auto it = std::lower_bound(nodes.begin(), nodes.end(), local_id,
                             [](const NodeEntry& node, std::uint32_t value) { return node.local_id < value; });
  if (it == nodes.end() || it->local_id != local_id) return nullptr;
  return &stumps_[it->stump];
}

void JointPredictor::add_tree(std::size_t tree, std::span<const float> row, std::vector<float>& scores) const {
  const float weight = tree < tree_weights_.size() ? tree_weights_[tree] : 1.0f;
  std::uint32_t id = 0;
  const JointPredictorStump* last = nullptr;
  bool last_left = false;
  while (const JointPredictorStump* stump = find_node(tree, id)) {
    last = stump;
    last_left = goes_left(*stump, row);
    // Heap ids in 32-bit arithmetic; a wrapped id finds no stump and ends the walk.
    id = last_left ? 2u * id + 1u : 2u * id + 2u;
  }
  if (last == nullptr) return;
  const std::vector<float>& values = last_left ? last->left_values : last->right_values;
  for (std::size_t k = 0; k < n_outputs_; ++k) scores[k] = scores[k] + weight * values[k];
}

std::vector<float> JointPredictor::predict_row(std::span<const float> row) const {
  std::vector<float> scores = baselines_;
  for (std::size_t t = 0; t < trees_.size(); ++t) {
    if (!trees_[t].empty()) add_tree(t, row, scores);
  }
  return scores;
}

std::vector<float> JointPredictor::predict_batch(std::span<const float> values, std::size_t feature_count) const {
  if (feature_count == 0) throw JointError("feature_count must be > 0");
  const std::size_t rows = values.size() / feature_count;
  std::vector<float> out;
  out.reserve(rows * n_outputs_);
  for (std::size_t r = 0; r < rows; ++r) {
    const std::vector<float> scores = predict_row(values.subspan(r * feature_count, feature_count));
    out.insert(out.end(), scores.begin(), scores.end());
  }
  return out;
}

}  // namespace kestrune::engine::joint

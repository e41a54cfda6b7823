// Scoring with a joint multi-output model: the artifact that joint training wrote (a single-output
// model artifact whose split nodes carry K-vectors) plus the per-output baselines returned beside
// it. Rows hold bin indices as float32 (NaN for missing); each row gets K raw scores.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/trained_stump.hpp"

namespace kestrune::engine::joint {

// A joint model names each split node once: a walk finds one stump per node key, so of two with
// the same key one would silently drop out of the model. Throws JointError "tree {} contains
// duplicate local node_id {}" for the lowest tree that repeats a key, naming the first stump in
// list order whose key an earlier one of that tree has. The loader and the warm start both check
// their stumps with it.
void check_unique_node_keys(std::span<const TrainedStump> stumps);

struct JointPredictorStump {
  std::vector<float> left_values;   // the K-vector of a row that leaves left and reaches a leaf
  std::vector<float> right_values;
  std::uint64_t mask = 0;           // first eight bitset bytes, little-endian: bit c = category c goes left
  std::uint32_t local_id = 0;       // heap id inside its tree
  std::uint32_t feature_index = 0;
  std::uint16_t split_bin = 0;
  std::uint8_t default_left = 0;
  std::uint8_t categorical = 0;
};

class JointPredictor {
 public:
  // Loads a model artifact (legacy-compatible mode) and keeps the stumps that carry K-vectors,
  // grouped by tree. A joint model without trees (objective "joint_multi_output[K]") scores its
  // baselines. Throws JointError with the load error's debug text, with "artifact does not carry
  // MultiOutputLeafValues" when no stump carries values (and the model is not such a joint model
  // without trees), with "baselines length {} != n_outputs {}", or with the message of
  // check_unique_node_keys.
  static JointPredictor from_artifact_bytes(std::span<const std::uint8_t> artifact, std::vector<float> baselines);

  // K raw scores: the baselines plus, per tree, the tree weight times the K-vector of the side
  // taken at the last stump of the row's path. A feature beyond the row counts as missing.
  std::vector<float> predict_row(std::span<const float> row) const;
  // predict_row over values.size() / feature_count rows (trailing values that do not fill a row are
  // ignored), n_outputs scores per row, row-major. Throws JointError for feature_count 0.
  std::vector<float> predict_batch(std::span<const float> values, std::size_t feature_count) const;

  const std::vector<float>& baselines() const noexcept { return baselines_; }
  const std::vector<JointPredictorStump>& stumps() const noexcept { return stumps_; }
  const std::vector<std::vector<std::size_t>>& trees() const noexcept { return trees_; }
  const std::vector<float>& tree_weights() const noexcept { return tree_weights_; }
  std::size_t n_outputs() const noexcept { return n_outputs_; }

 private:
  // The stump a walk finds at a local id.
  struct NodeEntry {
    std::uint32_t local_id;
    std::size_t stump;
  };
  const JointPredictorStump* find_node(std::size_t tree, std::uint32_t local_id) const;
  void add_tree(std::size_t tree, std::span<const float> row, std::vector<float>& scores) const;

  std::vector<float> baselines_;
  std::vector<JointPredictorStump> stumps_;
  std::vector<std::vector<std::size_t>> trees_;  // positions into stumps_, artifact order
  std::vector<float> tree_weights_;
  std::size_t n_outputs_ = 0;
  std::vector<std::vector<NodeEntry>> nodes_;    // per tree, sorted by local id
};

}  // namespace kestrune::engine::joint

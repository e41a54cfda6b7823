#include "engine/joint/tree_walk.hpp"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

#include "engine/joint/bin_codes.hpp"
#include "engine/routing.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::joint {

void walk_tree_into_predictions(std::span<const TrainedStump> stumps, const core::BinnedMatrix& binned,
                                std::size_t feature_count, std::size_t n_rows, std::size_t n_outputs,
                                std::vector<std::vector<float>>& predictions, float scale, float weight) {
  if (stumps.empty()) return;
  // Local id -> stump; a later stump with the same id replaces an earlier one. Only looked up,
  // never iterated.
  std::unordered_map<std::uint32_t, const TrainedStump*> nodes;
  for (const TrainedStump& stump : stumps) nodes[stump.node_id & 0xFFFFFu] = &stump;
  if (!nodes.contains(0)) return;

  const std::uint16_t missing_bin = joint_missing_bin(binned);
  const std::size_t outputs = std::min(n_outputs, predictions.size());
  const float factor = scale * weight;
  for (std::size_t r = 0; r < n_rows; ++r) {
    std::uint32_t id = 0;
    const TrainedStump* last = nullptr;
    bool last_left = false;
    for (auto it = nodes.find(id); it != nodes.end(); it = nodes.find(id)) {
      last = it->second;
      last_left = routes_left(*last, joint_bin(binned, feature_count, r, last->feature_index), missing_bin);
      id = last_left ? 2u * id + 1u : 2u * id + 2u;
    }
    if (last == nullptr || !last->multi_output) continue;
    const std::vector<float>& values = last_left ? last->multi_output->left : last->multi_output->right;
    support::invariant(values.size() >= outputs, "a K-vector is shorter than the output count");
    for (std::size_t k = 0; k < outputs; ++k) {
      support::invariant(r < predictions[k].size(), "a prediction list is shorter than the walked rows");
      predictions[k][r] += factor * values[k];
    }
  }
}

}  // namespace kestrune::engine::joint

#include "engine/trainer/warm_start.hpp"

#include <string>

#include "engine/error.hpp"
#include "engine/tree_node.hpp"

namespace kestrune::engine::trainer {

std::vector<std::size_t> tree_stump_counts(std::span<const TrainedStump> stumps) {
  std::vector<std::size_t> counts;
  for (std::size_t i = 0; i < stumps.size(); ++i) {
    if (i == 0 || tree_index_of(stumps[i].node_id) != tree_index_of(stumps[i - 1].node_id)) counts.push_back(0);
    ++counts.back();
  }
  return counts;
}

void check_warm_start_against_training_data(const WarmStartState& warm_start, std::size_t feature_count) {
  for (const TrainedStump& stump : warm_start.stumps) {
    if (stump.feature_index >= feature_count) {
      throw EngineError::contract_violation("warm-start model splits on feature " +
                                            std::to_string(stump.feature_index) + " but the training data has " +
                                            std::to_string(feature_count) + " features");
    }
    if (tree_index_of(stump.node_id) >= warm_start.completed_rounds) {
      throw EngineError::contract_violation("warm-start model has a tree at index " +
                                            std::to_string(tree_index_of(stump.node_id)) + " but only " +
                                            std::to_string(warm_start.completed_rounds) + " completed rounds");
    }
  }
}

}  // namespace kestrune::engine::trainer

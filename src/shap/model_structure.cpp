#include "shap/model_structure.hpp"

#include <algorithm>
#include <string>

#include "shap/error.hpp"

namespace kestrune::shap {
namespace {

void sort_distinct(std::vector<std::uint32_t>& values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
}

}  // namespace

StumpIndex index_stumps(const engine::TrainedModel& model) {
  StumpIndex index;
  index.nodes.reserve(model.stumps.size());
  for (const engine::TrainedStump& stump : model.stumps) {
    const std::uint32_t tree = stump.node_id >> 20;
    const std::uint32_t local = stump.node_id & 0xFFFFFu;
    index.nodes.insert_or_assign(node_key(tree, local), &stump);
    if (local == 0) index.root_trees.push_back(tree);
  }
  sort_distinct(index.root_trees);
  return index;
}

void check_split_features(const engine::TrainedModel& model) {
  for (const engine::TrainedStump& stump : model.stumps) {
    if (stump.feature_index >= model.feature_count) {
      throw ShapError::runtime("stump feature_index " + std::to_string(stump.feature_index) +
                               " exceeds model feature_count " + std::to_string(model.feature_count));
    }
  }
}

ModelStructure build_model_structure(const engine::TrainedModel& model) {
  check_split_features(model);
  ModelStructure structure;
  for (const engine::TrainedStump& stump : model.stumps) structure.split_features.push_back(stump.feature_index);
  structure.index = index_stumps(model);
  sort_distinct(structure.split_features);
  if (structure.split_features.size() > kMaxExactFeatures) {
    throw ShapError::runtime("exact SHAP supports at most " + std::to_string(kMaxExactFeatures) +
                             " distinct split features per model (found " +
                             std::to_string(structure.split_features.size()) + ")");
  }
  structure.feature_slot.assign(model.feature_count, std::nullopt);
  for (std::size_t p = 0; p < structure.split_features.size(); ++p) {
    structure.feature_slot[structure.split_features[p]] = static_cast<std::uint8_t>(p);
  }
  return structure;
}

}  // namespace kestrune::shap

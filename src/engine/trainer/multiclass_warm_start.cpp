#include "engine/trainer/multiclass_warm_start.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "engine/error.hpp"
#include "engine/trainer/warm_start.hpp"
#include "engine/tree_node.hpp"

namespace kestrune::engine::trainer {
namespace {

bool reweighted(const TrainedStump& stump) {
  return std::fabs(stump.tree_weight - 1.0f) > std::numeric_limits<float>::epsilon();
}

}  // namespace

std::size_t multiclass_rounds_completed(std::span<const std::vector<TrainedStump>> class_stumps) {
  std::size_t rounds = 0;
  for (const std::vector<TrainedStump>& stumps : class_stumps) {
    for (const TrainedStump& stump : stumps) {
      rounds = std::max(rounds, static_cast<std::size_t>(tree_index_of(stump.node_id)) + 1);
    }
  }
  return rounds;
}

MultiClassWarmStartState multiclass_warm_start_from_model(MultiClassTrainedModel model) {
  MultiClassWarmStartState state;
  state.initial_rounds_completed = multiclass_rounds_completed(model.class_stumps);
  const std::size_t rounds = state.initial_rounds_completed;
  const std::size_t classes = model.class_stumps.size();

  const bool any_reweighted = std::any_of(model.class_stumps.begin(), model.class_stumps.end(), [](const auto& stumps) {
    return std::any_of(stumps.begin(), stumps.end(), reweighted);
  });
  if (any_reweighted) {
    // Looked up by tree index, so a class that skipped a round does not shift its later trees.
    std::vector<float> weights(rounds * classes, 1.0f);
    for (std::size_t c = 0; c < classes; ++c) {
      std::vector<bool> seen(rounds, false);
      for (const TrainedStump& stump : model.class_stumps[c]) {
        const std::size_t tree = tree_index_of(stump.node_id);
        if (seen[tree]) continue;
        seen[tree] = true;
        weights[tree * classes + c] = stump.tree_weight;
      }
    }
    state.initial_dart_tree_weights = std::move(weights);
  }
  if (model.morph_metadata && !model.morph_metadata->ema_stats.empty()) {
    state.morph_ema_stats = std::move(model.morph_metadata->ema_stats);
  }
  state.baselines = std::move(model.class_baselines);
  state.class_stumps = std::move(model.class_stumps);
  return state;
}

MultiClassWarmStartState multiclass_warm_start_from_artifact_bytes(std::span<const std::uint8_t> artifact,
                                                                  std::size_t feature_count, std::size_t num_classes) {
  MultiClassTrainedModel model =
      with_core_errors([&] { return MultiClassTrainedModel::from_artifact_bytes(artifact); });
  require_predictor_loadable(artifact);
  if (model.feature_count != feature_count) {
    throw EngineError::contract_violation("init_model feature_count " + std::to_string(model.feature_count) +
                                          " does not match training data feature_count " +
                                          std::to_string(feature_count));
  }
  if (model.num_classes != num_classes) {
    throw EngineError::contract_violation("init_model num_classes " + std::to_string(model.num_classes) +
                                          " does not match training num_classes " + std::to_string(num_classes));
  }
  return multiclass_warm_start_from_model(std::move(model));
}

}  // namespace kestrune::engine::trainer

#include "engine/trainer/warm_start.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "core/artifact/container.hpp"
#include "core/error.hpp"
#include "engine/error.hpp"
#include "engine/trained_model.hpp"
#include "engine/tree_node.hpp"
#include "predictor/predictor.hpp"

namespace kestrune::engine::trainer {
namespace {

std::optional<std::vector<float>> dart_tree_weights(const std::vector<TrainedStump>& stumps) {
  const bool reweighted = std::any_of(stumps.begin(), stumps.end(), [](const TrainedStump& stump) {
    return std::fabs(stump.tree_weight - 1.0f) > std::numeric_limits<float>::epsilon();
  });
  if (!reweighted) return std::nullopt;
  std::vector<float> weights;
  weights.reserve(stumps.size());
  for (const TrainedStump& stump : stumps) weights.push_back(stump.tree_weight);
  return weights;
}

}  // namespace

void require_predictor_loadable(std::span<const std::uint8_t> artifact) {
  static_cast<void>(predictor::Predictor::from_artifact_bytes(artifact));
}

WarmStartState warm_start_from_artifact_bytes(std::span<const std::uint8_t> artifact, std::size_t feature_count) {
  TrainedModel model = with_core_errors([&] { return TrainedModel::from_artifact_bytes(artifact); });
  require_predictor_loadable(artifact);
  if (model.feature_count != feature_count) {
    throw EngineError::contract_violation("init_model feature_count " + std::to_string(model.feature_count) +
                                          " does not match training data feature_count " +
                                          std::to_string(feature_count));
  }
  WarmStartState state;
  state.dart_tree_weights = dart_tree_weights(model.stumps);
  state.completed_rounds = model.rounds_completed();
  state.base_score = model.base_prediction;
  if (model.morph_metadata && !model.morph_metadata->ema_stats.empty()) {
    state.morph_ema_stats = std::move(model.morph_metadata->ema_stats);
  }
  state.stumps = std::move(model.stumps);
  return state;
}

bool artifact_has_linear_leaves(std::span<const std::uint8_t> artifact) {
  try {
    const core::ParsedModelArtifactV1 parsed = core::deserialize_model_artifact_v1(artifact);
    // Both model writers store the linear side models in this section, and only when some side
    // is linear.
    return std::any_of(parsed.sections.begin(), parsed.sections.end(), [](const core::ModelArtifactSection& section) {
      return section.kind == core::ModelSectionKind::LinearLeafCoefficients;
    });
  } catch (const core::CoreError&) {
    return false;
  }
}

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

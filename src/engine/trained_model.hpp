// A trained single-output ensemble: the split records of all its trees and the optional records
// training produced beside them, with its model artifact writer and reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/artifact/categorical_state.hpp"
#include "core/artifact/metadata_payloads.hpp"
#include "core/artifact/morph_metadata.hpp"
#include "engine/node_debug_stats.hpp"
#include "engine/trained_stump.hpp"

namespace kestrune::engine {

struct TrainedModel {
  std::vector<TrainedStump> stumps;  // all split records, tree by tree
  std::size_t feature_count = 0;
  float base_prediction = 0.0f;
  std::string objective = "squared_error";
  std::vector<std::uint32_t> native_categorical_features;
  std::optional<core::CategoricalStatePayloadV1> categorical_state;
  std::optional<std::vector<NodeDebugStatsRecord>> node_debug_stats;
  std::optional<core::MorphMetadata> morph_metadata;
  std::optional<core::DroMetadata> dro_metadata;
  std::optional<core::NeutralizationMetadata> neutralization_metadata;
  // One value per feature; stored only for models with linear leaves.
  std::optional<std::vector<float>> feature_baseline;

  // 0 without stumps, else 1 + the largest tree index among the stumps.
  std::size_t rounds_completed() const;

  // The complete artifact: Trees, PredictorLayout, then each optional section whose data is
  // present. Parts that a reader would reject or misread are refused with an EngineError
  // before anything is written.
  std::vector<std::uint8_t> to_artifact_bytes() const;

  // Legacy-compatible load (also accepts an artifact holding only a Trees section).
  static TrainedModel from_artifact_bytes(std::span<const std::uint8_t> bytes);
  // Mode 0 is strict, mode 1 legacy-compatible.
  static TrainedModel from_artifact_bytes_with_mode(std::span<const std::uint8_t> bytes, std::uint32_t mode);

  // Builders consume the model. A present categorical state must pass validation against
  // feature_count (CoreError otherwise); absent removes it.
  TrainedModel with_categorical_state(std::optional<core::CategoricalStatePayloadV1> state) &&;
  // A present list must name features below feature_count (EngineError otherwise).
  TrainedModel with_node_debug_stats(std::optional<std::vector<NodeDebugStatsRecord>> records) &&;
  TrainedModel with_node_debug_stats_from_stumps() &&;
};

}  // namespace kestrune::engine

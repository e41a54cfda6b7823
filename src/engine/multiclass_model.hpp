// A trained softmax multiclass ensemble: one starting score and one list of split records per
// class, with its model artifact writer and reader (trees in one MultiClassTrees section).
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
#include "engine/trained_stump.hpp"

namespace kestrune::engine {

struct MultiClassTrainedModel {
  std::vector<float> class_baselines;                  // num_classes entries
  std::vector<std::vector<TrainedStump>> class_stumps;  // num_classes lists, each in training order
  std::string objective;
  std::optional<core::CategoricalStatePayloadV1> categorical_state;
  std::optional<core::MorphMetadata> morph_metadata;
  std::optional<core::DroMetadata> dro_metadata;
  std::size_t num_classes = 0;
  std::size_t feature_count = 0;

  // 0 without classes or without stumps in class 0; else 1 + the largest tree index of class 0.
  std::size_t rounds_completed() const;

  // MultiClassTrees, PredictorLayout, then the optional sections. Linear leaves, category
  // bitsets and DART tree weights (written only when some weight is not 1) are addressed by
  // global stump position: class 0's stumps first, then class 1's, ... A DartTreeWeights section
  // whose length is not the stump count fails to read (ContractViolation).
  std::vector<std::uint8_t> to_artifact_bytes() const;
  static MultiClassTrainedModel from_artifact_bytes(std::span<const std::uint8_t> bytes);

  // A present state must pass validation against feature_count (CoreError otherwise).
  MultiClassTrainedModel with_categorical_state(std::optional<core::CategoricalStatePayloadV1> state) &&;
};

}  // namespace kestrune::engine

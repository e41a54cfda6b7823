// The predictor's own reader of the tree payloads: the Trees and MultiClassTrees records, the
// PredictorLayout section, and the little-endian field reads beneath them. It accepts exactly
// the bytes the trained-model writers produce; every failure is PredictorError::InvalidModel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/artifact/container.hpp"
#include "core/leaf.hpp"

namespace kestrune::predictor {

// A linear leaf ready for evaluation. The two lists keep their own lengths; evaluation uses the
// shorter of the two.
struct LinearLeafCompact {
  float intercept = 0.0f;
  std::vector<std::uint64_t> feature_indices;
  std::vector<float> coefficients;

  friend bool operator==(const LinearLeafCompact&, const LinearLeafCompact&) = default;
};

LinearLeafCompact linear_leaf_to_compact(const core::LinearLeaf& leaf);

// One decoded 32-byte node record, with the per-node extras attached later from their sections.
struct PredictorStump {
  std::uint32_t node_key = 0;  // tree index << 20 | local heap id
  std::uint32_t feature_index = 0;
  std::uint16_t split_bin = 0;
  bool default_left = false;  // flags bit 0
  bool categorical = false;   // flags bit 1
  float left_value = 0.0f;
  float right_value = 0.0f;
  std::optional<std::vector<std::uint8_t>> category_bitset;
  std::optional<LinearLeafCompact> left_linear;
  std::optional<LinearLeafCompact> right_linear;
};

inline constexpr std::size_t kStumpRecordBytes = 32;
inline constexpr std::size_t kTreesHeaderBytes = 16;
inline constexpr std::size_t kMultiClassHeaderBytes = 12;
inline constexpr std::size_t kPredictorLayoutBytes = 12;

// The value at `offset`; "unexpected end of payload when reading u32" (u16, f32) when it does
// not lie wholly inside the payload.
std::uint32_t read_u32_le(std::span<const std::uint8_t> payload, std::size_t offset);
std::uint16_t read_u16_le(std::span<const std::uint8_t> payload, std::size_t offset);
float read_f32_le(std::span<const std::uint8_t> payload, std::size_t offset);

// The record at `offset`: key, feature, split bin, flags bits 0 and 1, left and right value. The
// stored gain and the two row counts play no part in prediction.
PredictorStump read_stump_record(std::span<const std::uint8_t> payload, std::size_t offset);

struct DecodedTreesPayload {
  std::vector<PredictorStump> stumps;
  std::uint32_t feature_count = 0;
  float base_score = 0.0f;
};

// A Trees payload: 16-byte header then exactly stump_count records.
DecodedTreesPayload decode_trained_model_payload(std::span<const std::uint8_t> payload);

struct DecodedMultiClassPayload {
  std::vector<float> class_baselines;
  std::vector<std::vector<PredictorStump>> class_stumps;  // one list per class
  std::uint32_t feature_count = 0;
};

// A MultiClassTrees payload: header, K baselines, K stump counts, then the records class by class.
DecodedMultiClassPayload decode_multiclass_trees_payload(std::span<const std::uint8_t> payload);

// The PredictorLayout feature count; `metadata_feature_count` for an artifact whose only section
// is a Trees section; otherwise a missing layout is an error.
std::uint64_t resolve_predictor_layout(std::span<const core::ModelArtifactSection> sections,
                                       std::uint64_t metadata_feature_count);

// The single section of `kind`, or nullptr; a second one is "model artifact contains duplicate
// required {} sections".
const core::ModelArtifactSection* find_required_kind(std::span<const core::ModelArtifactSection> sections,
                                                     core::ModelSectionKind kind);

}  // namespace kestrune::predictor

#include "predictor/payload.hpp"

#include <limits>
#include <string>

#include "core/artifact/section_kind.hpp"
#include "predictor/error.hpp"
#include "support/bytes.hpp"

namespace kestrune::predictor {
namespace {

template <typename T>
T require(std::optional<T> value, const char* type_name) {
  if (!value) throw PredictorError::invalid_model(std::string("unexpected end of payload when reading ") + type_name);
  return *value;
}

}  // namespace

LinearLeafCompact linear_leaf_to_compact(const core::LinearLeaf& leaf) {
  LinearLeafCompact compact;
  compact.intercept = leaf.intercept;
  compact.feature_indices.assign(leaf.feature_indices.begin(), leaf.feature_indices.end());
  compact.coefficients = leaf.coefficients;
  return compact;
}

std::uint32_t read_u32_le(std::span<const std::uint8_t> payload, std::size_t offset) {
  return require(support::read_u32_le(payload, offset), "u32");
}

std::uint16_t read_u16_le(std::span<const std::uint8_t> payload, std::size_t offset) {
  return require(support::read_u16_le(payload, offset), "u16");
}

float read_f32_le(std::span<const std::uint8_t> payload, std::size_t offset) {
  return require(support::read_f32_le(payload, offset), "f32");
}

PredictorStump read_stump_record(std::span<const std::uint8_t> payload, std::size_t offset) {
  PredictorStump stump;
  stump.node_key = read_u32_le(payload, offset);
  stump.feature_index = read_u32_le(payload, offset + 4);
  stump.split_bin = read_u16_le(payload, offset + 8);
  const std::uint16_t flags = read_u16_le(payload, offset + 10);
  stump.default_left = (flags & 1u) != 0;
  stump.categorical = (flags & 2u) != 0;
  stump.left_value = read_f32_le(payload, offset + 16);
  stump.right_value = read_f32_le(payload, offset + 20);
  return stump;
}

DecodedTreesPayload decode_trained_model_payload(std::span<const std::uint8_t> payload) {
  if (payload.size() < kTreesHeaderBytes) throw PredictorError::invalid_model("model payload too small");
  const std::uint32_t version = read_u32_le(payload, 0);
  if (version != 1) {
    throw PredictorError::invalid_model("unsupported model payload format version " + std::to_string(version));
  }
  DecodedTreesPayload decoded;
  decoded.feature_count = read_u32_le(payload, 4);
  const std::uint64_t count = read_u32_le(payload, 8);
  decoded.base_score = read_f32_le(payload, 12);
  // A u32 count of 32-byte records cannot overflow 64 bits.
  const std::uint64_t expected = kTreesHeaderBytes + kStumpRecordBytes * count;
  if (payload.size() != expected) {
    throw PredictorError::invalid_model("model payload length " + std::to_string(payload.size()) +
                                        " does not match expected " + std::to_string(expected));
  }
  decoded.stumps.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    decoded.stumps.push_back(read_stump_record(payload, kTreesHeaderBytes + kStumpRecordBytes * i));
  }
  return decoded;
}

DecodedMultiClassPayload decode_multiclass_trees_payload(std::span<const std::uint8_t> payload) {
  if (payload.size() < kMultiClassHeaderBytes) throw PredictorError::invalid_model("multiclass trees payload too small");
  const std::uint32_t version = read_u32_le(payload, 0);
  if (version != 1) {
    throw PredictorError::invalid_model("unsupported multiclass trees format version " + std::to_string(version));
  }
  const std::uint64_t classes = read_u32_le(payload, 4);
  DecodedMultiClassPayload decoded;
  decoded.feature_count = read_u32_le(payload, 8);
  // Each check bounds the class count by the payload length before anything is sized by it.
  if (payload.size() < kMultiClassHeaderBytes + 4 * classes) {
    throw PredictorError::invalid_model("multiclass trees payload too small for baselines");
  }
  decoded.class_baselines.reserve(classes);
  for (std::size_t k = 0; k < classes; ++k) {
    decoded.class_baselines.push_back(read_f32_le(payload, kMultiClassHeaderBytes + 4 * k));
  }
  if (payload.size() < kMultiClassHeaderBytes + 8 * classes) {
    throw PredictorError::invalid_model("multiclass trees payload too small for stump counts");
  }
  std::vector<std::uint32_t> counts;
  counts.reserve(classes);
  std::uint64_t total = 0;  // at most (2^32 - 1)^2: fits
  for (std::size_t k = 0; k < classes; ++k) {
    counts.push_back(read_u32_le(payload, kMultiClassHeaderBytes + 4 * classes + 4 * k));
    total += counts.back();
  }
  const std::uint64_t records_start = kMultiClassHeaderBytes + 8 * classes;
  // 32 x total can pass 2^64 for absurd counts; such a payload can never have that length.
  const bool fits = total <= (std::numeric_limits<std::uint64_t>::max() - records_start) / kStumpRecordBytes;
  const std::uint64_t expected = fits ? records_start + kStumpRecordBytes * total : 0;
  if (!fits || payload.size() != expected) {
    const std::string expected_text =
        fits ? std::to_string(expected) : "more than " + std::to_string(std::numeric_limits<std::uint64_t>::max());
    throw PredictorError::invalid_model("multiclass trees payload length " + std::to_string(payload.size()) +
                                        " does not match expected " + expected_text);
  }
  decoded.class_stumps.resize(classes);
  std::size_t offset = records_start;
  for (std::size_t k = 0; k < classes; ++k) {
    decoded.class_stumps[k].reserve(counts[k]);
    for (std::uint32_t i = 0; i < counts[k]; ++i) {
      decoded.class_stumps[k].push_back(read_stump_record(payload, offset));
      offset += kStumpRecordBytes;
    }
  }
  return decoded;
}

const core::ModelArtifactSection* find_required_kind(std::span<const core::ModelArtifactSection> sections,
                                                     core::ModelSectionKind kind) {
  const core::ModelArtifactSection* found = nullptr;
  for (const core::ModelArtifactSection& section : sections) {
    if (section.kind != kind) continue;
    if (found != nullptr) {
      throw PredictorError::invalid_model("model artifact contains duplicate required " +
                                          core::section_kind_name(kind) + " sections");
    }
    found = &section;
  }
  return found;
}

std::uint64_t resolve_predictor_layout(std::span<const core::ModelArtifactSection> sections,
                                       std::uint64_t metadata_feature_count) {
  const core::ModelArtifactSection* layout = find_required_kind(sections, core::ModelSectionKind::PredictorLayout);
  if (layout == nullptr) {
    if (sections.size() == 1 && sections[0].kind == core::ModelSectionKind::Trees) return metadata_feature_count;
    throw PredictorError::invalid_model("model artifact missing required PredictorLayout section");
  }
  const std::span<const std::uint8_t> payload = layout->payload;
  if (payload.size() != kPredictorLayoutBytes) {
    throw PredictorError::invalid_model("predictor layout payload length " + std::to_string(payload.size()) +
                                        " does not match expected " + std::to_string(kPredictorLayoutBytes));
  }
  const std::uint32_t version = read_u32_le(payload, 0);
  if (version != 1) {
    throw PredictorError::invalid_model("unsupported predictor layout format version " + std::to_string(version));
  }
  const std::uint32_t mode = read_u32_le(payload, 8);
  if (mode != 1) {
    throw PredictorError::invalid_model("unsupported predictor layout threshold mode " + std::to_string(mode));
  }
  return read_u32_le(payload, 4);
}

}  // namespace kestrune::predictor

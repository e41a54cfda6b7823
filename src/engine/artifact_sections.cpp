#include "engine/artifact_sections.hpp"

#include <limits>
#include <string>

#include "engine/error.hpp"
#include "support/bytes.hpp"

namespace kestrune::engine {
namespace {

constexpr std::size_t kPredictorLayoutLength = 12;
constexpr std::uint32_t kBinThresholdMode = 1;

template <typename T>
T require_read(std::optional<T> value, const char* type_name) {
  if (!value) throw EngineError::contract_violation(std::string("unexpected end of payload when reading ") + type_name);
  return *value;
}

}  // namespace

std::uint32_t read_u32_le(std::span<const std::uint8_t> payload, std::size_t offset) {
  return require_read(support::read_u32_le(payload, offset), "u32");
}

std::uint16_t read_u16_le(std::span<const std::uint8_t> payload, std::size_t offset) {
  return require_read(support::read_u16_le(payload, offset), "u16");
}

float read_f32_le(std::span<const std::uint8_t> payload, std::size_t offset) {
  return require_read(support::read_f32_le(payload, offset), "f32");
}

const core::ModelArtifactSection* find_single_section(std::span<const core::ModelArtifactSection> sections,
                                                      core::ModelSectionKind kind) {
  const core::ModelArtifactSection* found = nullptr;
  for (const core::ModelArtifactSection& section : sections) {
    if (section.kind != kind) continue;
    if (found != nullptr) {
      throw EngineError::contract_violation("model artifact contains duplicate required " +
                                            core::section_kind_name(kind) + " sections");
    }
    found = &section;
  }
  return found;
}

const core::ModelArtifactSection& required_single_section(std::span<const core::ModelArtifactSection> sections,
                                                          core::ModelSectionKind kind) {
  const core::ModelArtifactSection* found = find_single_section(sections, kind);
  if (found == nullptr) {
    throw EngineError::contract_violation("model artifact missing required " + core::section_kind_name(kind) +
                                          " section");
  }
  return *found;
}

std::size_t resolve_predictor_layout(std::span<const core::ModelArtifactSection> sections,
                                     std::size_t fallback_feature_count, core::RequiredSectionMode mode) {
  const core::ModelArtifactSection* layout = find_single_section(sections, core::ModelSectionKind::PredictorLayout);
  if (layout == nullptr) {
    const bool trees_only = sections.size() == 1 && sections[0].kind == core::ModelSectionKind::Trees;
    if (mode == core::RequiredSectionMode::LegacyCompatible && trees_only) return fallback_feature_count;
    throw EngineError::contract_violation("model artifact missing required PredictorLayout section");
  }
  const std::span<const std::uint8_t> payload = layout->payload;
  if (payload.size() != kPredictorLayoutLength) {
    throw EngineError::contract_violation("predictor layout payload length " + std::to_string(payload.size()) +
                                          " does not match expected " + std::to_string(kPredictorLayoutLength));
  }
  const std::uint32_t version = read_u32_le(payload, 0);
  if (version != 1) {
    throw EngineError::contract_violation("unsupported predictor layout format version " + std::to_string(version));
  }
  const std::uint32_t threshold_mode = read_u32_le(payload, 8);
  if (threshold_mode != kBinThresholdMode) {
    throw EngineError::contract_violation("unsupported predictor layout threshold mode " +
                                          std::to_string(threshold_mode));
  }
  return read_u32_le(payload, 4);
}

std::vector<std::uint8_t> encode_predictor_layout_payload(std::size_t feature_count) {
  if (feature_count > std::numeric_limits<std::uint32_t>::max()) {
    throw EngineError::contract_violation("feature_count exceeds u32::MAX");
  }
  support::ByteWriter writer;
  writer.put_u32(1);
  writer.put_u32(static_cast<std::uint32_t>(feature_count));
  writer.put_u32(kBinThresholdMode);
  return writer.take();
}

core::RequiredSectionMode required_section_mode_from_u32(std::uint32_t mode) {
  if (mode == 0) return core::RequiredSectionMode::Strict;
  if (mode == 1) return core::RequiredSectionMode::LegacyCompatible;
  throw EngineError::invalid_config("required section mode must be 0 (strict) or 1 (legacy-compatible), got " +
                                    std::to_string(mode));
}

}  // namespace kestrune::engine

namespace kestrune::engine {

core::ModelMetadata model_metadata_for(std::size_t feature_count, const std::string& objective,
                                       std::optional<std::uint32_t> num_classes) {
  core::ModelMetadata metadata;
  metadata.feature_names.reserve(feature_count);
  for (std::size_t i = 0; i < feature_count; ++i) {
    std::string name = "f";  // appended rather than concatenated: GCC 12 warns falsely on "f" + string
    name += std::to_string(i);
    metadata.feature_names.push_back(std::move(name));
  }
  metadata.objective = objective;
  metadata.num_classes = num_classes;
  return metadata;
}

}  // namespace kestrune::engine

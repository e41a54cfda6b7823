// Section lookups and little-endian field reads shared by the single-output and multiclass
// model loaders. Every failure is EngineError::ContractViolation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/artifact/container.hpp"
#include "core/artifact/required_sections.hpp"

namespace kestrune::engine {

// The value at `offset`, or "unexpected end of payload when reading u32" (u16, f32 likewise).
std::uint32_t read_u32_le(std::span<const std::uint8_t> payload, std::size_t offset);
std::uint16_t read_u16_le(std::span<const std::uint8_t> payload, std::size_t offset);
float read_f32_le(std::span<const std::uint8_t> payload, std::size_t offset);

// The single section of `kind`, or nullptr; a second one is "model artifact contains duplicate
// required {} sections".
const core::ModelArtifactSection* find_single_section(std::span<const core::ModelArtifactSection> sections,
                                                      core::ModelSectionKind kind);

// The single section of `kind`; a missing one is "model artifact missing required {} section".
const core::ModelArtifactSection& required_single_section(std::span<const core::ModelArtifactSection> sections,
                                                          core::ModelSectionKind kind);

// The feature count of the PredictorLayout section; `fallback_feature_count` for a Trees-only
// artifact when `mode` is LegacyCompatible.
std::size_t resolve_predictor_layout(std::span<const core::ModelArtifactSection> sections,
                                     std::size_t fallback_feature_count, core::RequiredSectionMode mode);

// 12 bytes: version 1, the feature count, threshold mode 1 (thresholds are bin indices).
std::vector<std::uint8_t> encode_predictor_layout_payload(std::size_t feature_count);

// Mode 0 is Strict, mode 1 LegacyCompatible; any other value is EngineError::InvalidConfig.
core::RequiredSectionMode required_section_mode_from_u32(std::uint32_t mode);

}  // namespace kestrune::engine

namespace kestrune::engine {

// The metadata a trained model writes: feature names "f0", "f1", ... one per feature, device
// cpu, the objective and, for multiclass models, the class count.
core::ModelMetadata model_metadata_for(std::size_t feature_count, const std::string& objective,
                                       std::optional<std::uint32_t> num_classes);

}  // namespace kestrune::engine

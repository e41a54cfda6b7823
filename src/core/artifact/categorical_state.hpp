// The CategoricalState section: which features the training target encoding replaced, and
// whether that encoding was time-aware.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/artifact/container.hpp"

namespace kestrune::core {

struct CategoricalStatePayloadV1 {
  std::vector<std::uint32_t> feature_indices;  // strictly increasing, at least one
  std::uint32_t format_version = 1;
  bool time_aware = false;  // bit 0 of the stored flags

  friend bool operator==(const CategoricalStatePayloadV1&, const CategoricalStatePayloadV1&) = default;
};

// Version 1, at least one index, strictly increasing, and all below `feature_count` when one is
// given. CoreError::Validation on the first failing rule.
void validate_categorical_state_payload_v1(const CategoricalStatePayloadV1& state,
                                           std::optional<std::size_t> feature_count);

// 16-byte header (version, flags, count, reserved 0) then the u32 indices.
std::vector<std::uint8_t> encode_categorical_state_payload_v1(const CategoricalStatePayloadV1& state);
// Structural failures are CoreError::Serialization; the decoded state is then validated
// without a feature count (CoreError::Validation).
CategoricalStatePayloadV1 decode_categorical_state_payload_v1(std::span<const std::uint8_t> payload);

// Decodes the section when present and validates it against `feature_count`.
std::optional<CategoricalStatePayloadV1> decode_optional_categorical_state_section_v1(
    std::span<const ModelArtifactSection> sections, std::size_t feature_count);

}  // namespace kestrune::core

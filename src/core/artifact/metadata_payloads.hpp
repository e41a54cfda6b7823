// Payloads of the small metadata sections: DRO settings, factor-neutralization settings, the
// per-feature baseline and the per-tree DART weights, with their section finders.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/artifact/container.hpp"
#include "core/config.hpp"

namespace kestrune::core {

struct DroMetadata {
  float radius = 0.0f;  // finite and >= 0
  DroMetric metric = DroMetric::Wasserstein;
};

struct NeutralizationMetadata {
  float ridge_lambda = 0.0f;   // finite and >= 0
  float split_penalty = 0.0f;  // finite and >= 0
  NeutralizationKind kind = NeutralizationKind::None;
};

// 7 bytes: u16 version 1, f32 radius, u8 metric kind 0. Values the decoder would refuse (a
// radius or regulariser that is NaN, infinite or negative) are refused by the encoder with the
// decoder's message, so no written artifact fails to load.
std::vector<std::uint8_t> encode_dro_metadata_payload(const DroMetadata& metadata);
DroMetadata decode_dro_metadata_payload(std::span<const std::uint8_t> payload);

// 11 bytes: u16 version 1, u8 kind, f32 ridge_lambda, f32 split_penalty.
std::vector<std::uint8_t> encode_neutralization_metadata_payload(const NeutralizationMetadata& metadata);
NeutralizationMetadata decode_neutralization_metadata_payload(std::span<const std::uint8_t> payload);

// u32 version 1, u32 count, count f32 values. The two sections share the layout; the baseline
// decoder tolerates trailing bytes, the DART decoder wants the exact length.
std::vector<std::uint8_t> encode_feature_baseline_payload(std::span<const float> values);
std::vector<std::uint8_t> encode_dart_tree_weights_payload(std::span<const float> weights);
std::vector<float> decode_feature_baseline_payload(std::span<const std::uint8_t> payload);
std::vector<float> decode_dart_tree_weights_payload(std::span<const std::uint8_t> payload);

// Section finders: absent without a section of the kind; a duplicate section is an error.
std::optional<DroMetadata> decode_optional_dro_metadata_artifact_section(
    std::span<const ModelArtifactSection> sections);
std::optional<NeutralizationMetadata> decode_optional_neutralization_metadata_artifact_section(
    std::span<const ModelArtifactSection> sections);
std::optional<std::vector<float>> decode_optional_feature_baseline_section(
    std::span<const ModelArtifactSection> sections);
std::optional<std::vector<float>> decode_optional_dart_tree_weights_section(
    std::span<const ModelArtifactSection> sections);

}  // namespace kestrune::core

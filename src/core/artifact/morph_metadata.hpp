// The MorphMetadata section: the morph configuration a model was trained with, the per-output
// gradient statistics at the end of training and the round counters that let a warm start
// continue the learning-rate schedule.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/artifact/container.hpp"
#include "core/config.hpp"
#include "core/training_mode.hpp"

namespace kestrune::core {

struct MorphMetadata {
  std::vector<GradientEmaStats> ema_stats;  // one per model output
  MorphConfig config;
  std::uint32_t rounds_completed = 0;      // carried unchanged
  std::uint32_t scheduled_iterations = 0;  // carried unchanged
};

// Version 2: a 36-byte configuration block, then the u32 statistics count and 12 bytes per
// record. The warm-up fraction is written only for the warm-up cosine schedule (0 otherwise).
std::vector<std::uint8_t> encode_morph_metadata_payload(const MorphMetadata& metadata);

// Reads versions 1 and 2 (version 1 carries no statistics).
MorphMetadata decode_optional_morph_metadata_section(std::span<const std::uint8_t> payload);

std::optional<MorphMetadata> decode_optional_morph_metadata_artifact_section(
    std::span<const ModelArtifactSection> sections);

}  // namespace kestrune::core

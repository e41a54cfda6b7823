// The MultiOutputLeafValues section: per-stump leaf vectors of joint multi-output models.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/artifact/container.hpp"

namespace kestrune::core {

struct MultiOutputLeafValuesPayload {
  // One list per stump, in stump order: the left K-vector then the right one (2K values), or
  // empty for a stump without values. The lengths are checked by the model loader.
  std::vector<std::vector<float>> stump_values;
  std::uint32_t n_outputs = 0;

  friend bool operator==(const MultiOutputLeafValuesPayload&, const MultiOutputLeafValuesPayload&) = default;
};

// u32 version 1, u32 n_outputs, u32 stump count, then per stump a u32 length and its values.
std::vector<std::uint8_t> encode_multi_output_leaf_values_payload(const MultiOutputLeafValuesPayload& payload);
// CoreError::Validation on a short or unsupported payload; trailing bytes are ignored.
MultiOutputLeafValuesPayload decode_multi_output_leaf_values_payload(std::span<const std::uint8_t> payload);

std::optional<MultiOutputLeafValuesPayload> decode_optional_multi_output_leaf_values_section(
    std::span<const ModelArtifactSection> sections);

}  // namespace kestrune::core

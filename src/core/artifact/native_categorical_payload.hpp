// The NativeCategoricalSplits section: the category bitsets of native categorical splits, which
// the fixed-size Trees records cannot hold.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "core/artifact/container.hpp"

namespace kestrune::core {

struct NativeCategoricalSplitEntry {
  std::uint32_t stump_index = 0;       // position of the stump in the model's stump list
  std::vector<std::uint8_t> bitset;    // category c goes left when bit c & 7 of byte c >> 3 is set

  friend bool operator==(const NativeCategoricalSplitEntry&, const NativeCategoricalSplitEntry&) = default;
};

struct NativeCategoricalSplitsPayload {
  std::vector<std::uint32_t> feature_indices;
  std::vector<NativeCategoricalSplitEntry> entries;

  friend bool operator==(const NativeCategoricalSplitsPayload&, const NativeCategoricalSplitsPayload&) = default;
};

// u32 F, u32 E, F u32 feature indices, then E entries of u32 stump index, u16 bitset length and
// the bitset bytes. CoreError::Serialization when a count does not fit its field.
std::vector<std::uint8_t> encode_native_categorical_splits_payload(const NativeCategoricalSplitsPayload& payload);
// CoreError::Serialization on a truncated payload; trailing bytes are ignored.
NativeCategoricalSplitsPayload decode_native_categorical_splits_payload(std::span<const std::uint8_t> payload);

std::optional<NativeCategoricalSplitsPayload> decode_optional_native_categorical_splits_section(
    std::span<const ModelArtifactSection> sections);

}  // namespace kestrune::core

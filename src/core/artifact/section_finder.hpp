// Finding the one optional section of a kind in a parsed artifact.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/artifact/container.hpp"

namespace kestrune::core {

// The single section of `kind`, or nullptr when there is none. A second section of the kind is
// an error ("model artifact contains duplicate {} sections"), reported before any decoding.
const ModelArtifactSection* find_optional_section(std::span<const ModelArtifactSection> sections,
                                                  ModelSectionKind kind);

// The decoded payload of the single section of `kind`, or absent when there is none.
template <typename Decoder>
auto decode_optional_section(std::span<const ModelArtifactSection> sections, ModelSectionKind kind, Decoder&& decode)
    -> std::optional<decltype(decode(std::span<const std::uint8_t>{}))> {
  const ModelArtifactSection* section = find_optional_section(sections, kind);
  if (section == nullptr) return std::nullopt;
  return decode(std::span<const std::uint8_t>(section->payload));
}

}  // namespace kestrune::core

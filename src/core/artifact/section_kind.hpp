// The kinds of model artifact sections and their 32-bit codes.
#pragma once

#include <cstdint>
#include <string>

namespace kestrune::core {

// A section's kind is its raw 32-bit code: codes 1..14 name the known kinds below, every other
// code is an unknown kind that is carried unchanged, so artifacts written by newer code survive
// a read/write round trip. Two kinds are equal exactly when their codes are.
enum class ModelSectionKind : std::uint32_t {
  Trees = 1,
  PredictorLayout = 2,
  ShapAux = 3,
  CategoricalState = 4,
  NodeDebugStats = 5,
  MultiClassTrees = 6,
  NativeCategoricalSplits = 7,
  MorphMetadata = 8,
  LinearLeafCoefficients = 9,
  DroMetadata = 10,
  FeatureBaseline = 11,
  DartTreeWeights = 12,
  MultiOutputLeafValues = 13,
  NeutralizationMetadata = 14,
};

constexpr ModelSectionKind section_kind_from_code(std::uint32_t code) noexcept {
  return static_cast<ModelSectionKind>(code);
}

constexpr std::uint32_t section_kind_code(ModelSectionKind kind) noexcept {
  return static_cast<std::uint32_t>(kind);
}

constexpr bool is_known_section_kind(ModelSectionKind kind) noexcept {
  const std::uint32_t code = section_kind_code(kind);
  return code >= 1 && code <= 14;
}

// The kind's diagnostic name: "Trees", "PredictorLayout", ... or "Unknown(99)".
std::string section_kind_name(ModelSectionKind kind);

}  // namespace kestrune::core

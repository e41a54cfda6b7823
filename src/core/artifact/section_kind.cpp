#include "core/artifact/section_kind.hpp"

#include <array>
#include <string_view>

namespace kestrune::core {

std::string section_kind_name(ModelSectionKind kind) {
  static constexpr std::array<std::string_view, 14> kNames = {
      "Trees",         "PredictorLayout",        "ShapAux",         "CategoricalState",
      "NodeDebugStats", "MultiClassTrees",       "NativeCategoricalSplits", "MorphMetadata",
      "LinearLeafCoefficients", "DroMetadata",   "FeatureBaseline", "DartTreeWeights",
      "MultiOutputLeafValues",  "NeutralizationMetadata"};
  if (is_known_section_kind(kind)) return std::string(kNames[section_kind_code(kind) - 1]);
  return "Unknown(" + std::to_string(section_kind_code(kind)) + ")";
}

}  // namespace kestrune::core

// Which artifacts a single-output model loader accepts: the Trees and PredictorLayout sections
// it needs, in strict or legacy-compatible mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "core/artifact/container.hpp"

namespace kestrune::core {

enum class RequiredSectionMode : std::uint32_t { Strict = 0, LegacyCompatible = 1 };

struct RequiredSectionReport {
  std::size_t trees = 0;
  std::size_t predictor_layouts = 0;
  bool strict_compatible = false;   // exactly one Trees and one PredictorLayout section
  bool legacy_trees_only = false;   // one Trees section and nothing else
  bool legacy_compatible = false;   // either of the two

  // Whether a loader in `mode` accepts the artifact.
  bool accepts(RequiredSectionMode mode) const noexcept {
    return mode == RequiredSectionMode::Strict ? strict_compatible : legacy_compatible;
  }
};

RequiredSectionReport required_section_compatibility_report(std::span<const ModelArtifactSection> sections);

// The rejection message of `mode`, naming the report's two counts.
std::string format_required_section_mode_error(const RequiredSectionReport& report, RequiredSectionMode mode);

}  // namespace kestrune::core

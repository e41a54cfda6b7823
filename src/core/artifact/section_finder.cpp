#include "core/artifact/section_finder.hpp"

#include "core/error.hpp"

namespace kestrune::core {

const ModelArtifactSection* find_optional_section(std::span<const ModelArtifactSection> sections,
                                                  ModelSectionKind kind) {
  const ModelArtifactSection* found = nullptr;
  for (const ModelArtifactSection& section : sections) {
    if (section.kind != kind) continue;
    if (found != nullptr) {
      throw CoreError::serialization("model artifact contains duplicate " + section_kind_name(kind) + " sections");
    }
    found = &section;
  }
  return found;
}

}  // namespace kestrune::core

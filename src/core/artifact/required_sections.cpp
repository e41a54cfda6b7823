#include "core/artifact/required_sections.hpp"

namespace kestrune::core {

RequiredSectionReport required_section_compatibility_report(std::span<const ModelArtifactSection> sections) {
  RequiredSectionReport report;
  for (const ModelArtifactSection& section : sections) {
    if (section.kind == ModelSectionKind::Trees) ++report.trees;
    if (section.kind == ModelSectionKind::PredictorLayout) ++report.predictor_layouts;
  }
  if (report.trees == 1) {
    report.strict_compatible = report.predictor_layouts == 1;
    report.legacy_trees_only = sections.size() == 1 && report.predictor_layouts == 0;
    report.legacy_compatible = report.strict_compatible || report.legacy_trees_only;
  }
  return report;
}

std::string format_required_section_mode_error(const RequiredSectionReport& report, RequiredSectionMode mode) {
  const std::string counts = "(found Trees=" + std::to_string(report.trees) +
                             ", PredictorLayout=" + std::to_string(report.predictor_layouts) + ")";
  if (mode == RequiredSectionMode::Strict) {
    return "strict compatibility mode requires exactly one Trees and one PredictorLayout section " + counts;
  }
  return "legacy-compatible mode only supports strict dual-section artifacts or legacy Trees-only artifacts " +
         counts;
}

}  // namespace kestrune::core

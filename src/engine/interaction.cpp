#include "engine/interaction.hpp"

#include <string>

#include "engine/error.hpp"

namespace kestrune::engine {

std::optional<InteractionConstraintIndex> InteractionConstraintIndex::from_constraints(
    const std::vector<std::vector<std::uint32_t>>& groups, std::size_t feature_count) {
  if (groups.empty()) return std::nullopt;
  if (groups.size() > 64) {
    throw EngineError::invalid_config("interaction_constraints supports at most 64 groups (got " +
                                      std::to_string(groups.size()) + ")");
  }
  InteractionConstraintIndex index;
  index.group_masks.assign(feature_count, 0);
  index.group_count = static_cast<std::uint32_t>(groups.size());
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (std::uint32_t feature : groups[g]) {
      if (feature >= feature_count) {
        throw EngineError::invalid_config("interaction_constraints group " + std::to_string(g) +
                                          " references feature " + std::to_string(feature) +
                                          " which exceeds feature_count " + std::to_string(feature_count));
      }
      index.group_masks[feature] |= std::uint64_t{1} << g;
    }
  }
  return index;
}

std::uint64_t InteractionConstraintIndex::root_mask() const {
  return group_count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << group_count) - 1;
}

std::uint64_t InteractionConstraintIndex::child_mask(std::uint64_t node_mask, std::uint32_t feature) const {
  if (feature >= group_masks.size()) return node_mask;
  const std::uint64_t groups = group_masks[feature];
  return node_mask & (groups == 0 ? ~std::uint64_t{0} : groups);
}

bool InteractionConstraintIndex::allows(std::uint64_t node_mask, std::uint32_t feature) const {
  if (feature >= group_masks.size()) return true;
  const std::uint64_t groups = group_masks[feature];
  return groups == 0 || (groups & node_mask) != 0;
}

core::HistogramBundle InteractionConstraintIndex::filter(const core::HistogramBundle& bundle,
                                                         std::uint64_t node_mask) const {
  core::HistogramBundle filtered;
  filtered.node_id = bundle.node_id;
  for (const core::FeatureHistogram& histogram : bundle.histograms) {
    if (allows(node_mask, histogram.feature_index)) filtered.histograms.push_back(histogram);
  }
  return filtered;
}

}  // namespace kestrune::engine

// Interaction constraints: which features may appear together on one root-to-leaf path. Each
// feature gets a 64-bit mask of the groups that list it; each node keeps a mask of the groups
// its subtree may still draw on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/histogram.hpp"

namespace kestrune::engine {

struct InteractionConstraintIndex {
  std::vector<std::uint64_t> group_masks;  // one per feature column; 0 for an ungrouped feature
  std::uint32_t group_count = 0;           // 1..64

  // Absent when there are no groups. EngineError::InvalidConfig for more than 64 groups or a
  // feature index at or past feature_count (first offender in group order).
  static std::optional<InteractionConstraintIndex> from_constraints(
      const std::vector<std::vector<std::uint32_t>>& groups, std::size_t feature_count);

  // The low group_count bits set (all 64 for 64 groups).
  std::uint64_t root_mask() const;
  // The mask both children get after a split of a node with `node_mask` on `feature`.
  std::uint64_t child_mask(std::uint64_t node_mask, std::uint32_t feature) const;
  // Whether a node with `node_mask` may split on `feature`. Features outside the index and
  // ungrouped features are always allowed.
  bool allows(std::uint64_t node_mask, std::uint32_t feature) const;
  // Copies of the allowed histograms, in order, under the same node id.
  core::HistogramBundle filter(const core::HistogramBundle& bundle, std::uint64_t node_mask) const;
};

}  // namespace kestrune::engine

// Per-node training statistics kept beside the trees (the NodeDebugStats section).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/artifact/container.hpp"
#include "engine/trained_stump.hpp"

namespace kestrune::engine {

// The statistics of one split node. The payload stores no squared-gradient sums, so a decoded
// record has grad_sq_sum 0 on both sides.
struct NodeDebugStatsRecord {
  std::uint32_t node_id = 0;
  std::uint32_t feature_index = 0;
  float gain = 0.0f;
  ChildStats left_stats;
  ChildStats right_stats;
  std::uint16_t split_bin = 0;
  bool default_left = false;

  static NodeDebugStatsRecord from_stump(const TrainedStump& stump);
};

// u32 version 1, u32 count, then one 40-byte record per entry.
std::vector<std::uint8_t> encode_node_debug_stats_payload(std::span<const NodeDebugStatsRecord> records);

// Absent without a NodeDebugStats section (an empty section gives an empty list).
std::optional<std::vector<NodeDebugStatsRecord>> decode_optional_node_debug_stats_section(
    std::span<const core::ModelArtifactSection> sections);

}  // namespace kestrune::engine

// A proposed split of one tree node: what the split searches return, what the row partition
// applies and what the tree growers turn into a split record.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/histogram.hpp"

namespace kestrune::engine {

struct SplitCandidate {
  // The categories sent left (category c when byte c >> 3 has bit c & 7 set). Absent for a
  // numeric split.
  std::optional<std::vector<std::uint8_t>> category_bitset;
  core::HistogramBin left_stats;
  core::HistogramBin right_stats;
  std::uint32_t node_id = 0;        // the node whose histograms were searched
  std::uint32_t feature_index = 0;
  float gain = 0.0f;                // never feature-weighted
  std::uint16_t threshold_bin = 0;  // numeric split: a bin <= threshold_bin goes left
  bool default_left = false;        // where rows in the missing bin go
  bool is_categorical = false;
};

}  // namespace kestrune::engine

// The split record of a trained tree: what the tree growers emit for every node that split, and
// what the model codecs, the predictor and the explainers read back.
#pragma once

#include <cstdint>
#include <variant>
#include <vector>

#include "core/histogram.hpp"
#include "core/leaf.hpp"
#include "support/boxed.hpp"

namespace kestrune::engine {

// Sums over the training rows one side of a split received.
using ChildStats = core::HistogramBin;

// The left and right K-vectors of a joint multi-output split (both of length K).
struct MultiOutputValues {
  std::vector<float> left;
  std::vector<float> right;

  friend bool operator==(const MultiOutputValues&, const MultiOutputValues&) = default;
};

struct TrainedStump {
  std::uint32_t node_id = 0;        // (tree index << 20) | heap-style local id
  std::uint32_t feature_index = 0;
  std::uint16_t split_bin = 0;      // numeric split: a bin <= split_bin goes left
  bool default_left = false;        // where a missing value goes
  bool categorical = false;         // native categorical split decided by category_bitset
  // Category c goes left when byte c >> 3 exists and its bit c & 7 is set. Absent for numeric
  // splits; a categorical split without one routes by default_left, unlike an empty bitset.
  support::Boxed<std::vector<std::uint8_t>> category_bitset;
  float gain = 0.0f;
  ChildStats left_stats;
  ChildStats right_stats;
  // What a row gains on entering each child: increments along the path in single-output trees.
  core::LeafValue left = 0.0f;
  core::LeafValue right = 0.0f;
  support::Boxed<MultiOutputValues> multi_output;  // joint multi-output trees only
  float tree_weight = 1.0f;                        // rescaled only by DART
};
// A 500-round fit of 255-leaf trees keeps 127,000 of these: the rarely present parts are boxed.
static_assert(sizeof(TrainedStump) <= 112, "a split record grew: box what most records leave empty");

// The constant of a constant side, or the intercept of a linear one.
inline float leaf_constant_or_intercept(const core::LeafValue& value) {
  if (const float* constant = std::get_if<float>(&value)) return *constant;
  return core::linear_leaf(value).intercept;
}

inline bool has_linear_leaf(const TrainedStump& stump) {
  return core::linear_leaf_if(stump.left) != nullptr || core::linear_leaf_if(stump.right) != nullptr;
}

}  // namespace kestrune::engine

// Threshold conversion: rewriting bin-index split thresholds into raw feature values, after
// which rows carry raw values and numeric nodes compare strictly (value < threshold).
//
// A converted threshold is the smallest float32 whose training bin no longer goes left, found by
// bisection over the float32 ordering with the quantizer's own bin rule. So a raw value goes left
// exactly when its bin would have, for every value but +inf at a node that sends every bin left
// (no strict threshold lets +inf pass; the threshold is then +inf, and every finite value goes
// left). A closed formula for the edge rounds differently from the quantizer for values on it.
#include <bit>
#include <cstdint>
#include <limits>
#include <span>
#include <string>

#include "predictor/error.hpp"
#include "predictor/evaluation.hpp"
#include "predictor/predictor.hpp"
#include "quantization/bin_rules.hpp"

namespace kestrune::predictor {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// Non-NaN float32 values in ascending order map to ascending keys (-0 just below +0).
std::uint32_t order_key(float x) {
  const auto bits = std::bit_cast<std::uint32_t>(x);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

float from_order_key(std::uint32_t key) {
  return std::bit_cast<float>((key & 0x80000000u) != 0 ? key & 0x7FFFFFFFu : ~key);
}

// The smallest non-NaN float32 whose bin does not go left at a bin-space threshold, or +inf when
// every value's bin goes left. `bin_of` must not decrease as its argument grows.
template <typename BinOf>
float first_value_going_right(BinOf&& bin_of, float bin_threshold) {
  const auto goes_right = [&](std::uint32_t key) {
    return !numeric_goes_left<false>(static_cast<float>(bin_of(from_order_key(key))), bin_threshold);
  };
  std::uint32_t low = order_key(-kInfinity);
  std::uint32_t high = order_key(kInfinity);
  if (!goes_right(high)) return kInfinity;
  while (low < high) {  // the answer lies in [low, high], and high goes right
    const std::uint32_t middle = low + (high - low) / 2;
    if (goes_right(middle)) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return from_order_key(low);
}

// Calls rewrite(node) for every stored split node of every tree, all classes included. Nodes
// whose feature lies beyond the model's features have no entry in per-feature lists: a rule that
// reads such lists leaves them as they are (a row reaching one fails anyway).
template <typename Rewrite>
void rewrite_thresholds(Predictor& predictor, bool reads_feature_lists, Rewrite&& rewrite) {
  const auto visit = [&](Forest& forest) {
    for (std::size_t n = 1; n < forest.nodes.size(); ++n) {
      PredictorTreeNode& node = forest.nodes[n];
      if (reads_feature_lists && node.feature_index >= predictor.feature_count()) continue;
      node.threshold = rewrite(node.feature_index, node.threshold);
    }
  };
  visit(predictor.trees);
  if (predictor.class_trees) {
    for (Forest& forest : *predictor.class_trees) visit(forest);
  }
  predictor.thresholds_are_float = true;
}

}  // namespace

void Predictor::convert_bin_thresholds_to_float(std::span<const float> feature_mins,
                                                std::span<const float> feature_maxs, std::uint16_t max_data_bin) {
  if (feature_mins.size() != feature_count() || feature_maxs.size() != feature_count()) {
    throw PredictorError::invalid_input("feature_mins/maxs length (" + std::to_string(feature_mins.size()) + "/" +
                                        std::to_string(feature_maxs.size()) + ") must match feature_count " +
                                        std::to_string(feature_count()));
  }
  // No training binning has a top bin of 0 (every value would share one bin): such a call is a
  // mistake of the caller, reported rather than turned into thresholds for a binning that never was.
  if (max_data_bin == 0) throw PredictorError::invalid_input("max_data_bin must be greater than 0");
  rewrite_thresholds(*this, true, [&](std::uint32_t feature, float threshold) {
    const float lo = feature_mins[feature];
    const float hi = feature_maxs[feature];
    return first_value_going_right([&](float x) { return quantization::linear_code(x, lo, hi, max_data_bin); },
                                   threshold);
  });
}

void Predictor::convert_bin_thresholds_to_float_quantile(std::span<const std::vector<float>> feature_cuts) {
  if (feature_cuts.size() != feature_count()) {
    throw PredictorError::invalid_input("feature_cuts length " + std::to_string(feature_cuts.size()) +
                                        " must match feature_count " + std::to_string(feature_count()));
  }
  rewrite_thresholds(*this, true, [&](std::uint32_t feature, float threshold) {
    const std::span<const float> cuts = feature_cuts[feature];
    return first_value_going_right([&](float x) { return quantization::quantile_code(x, cuts); }, threshold);
  });
}

void Predictor::convert_bin_thresholds_to_float_prebinned() {
  rewrite_thresholds(*this, false, [](std::uint32_t, float threshold) { return threshold + 0.5f; });
}

}  // namespace kestrune::predictor

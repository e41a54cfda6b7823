// Threshold conversion: rewriting bin-index split thresholds into raw feature values, after
// which rows carry raw values and numeric nodes compare strictly (value < threshold).
#include <limits>
#include <string>

#include "predictor/error.hpp"
#include "predictor/predictor.hpp"
#include "support/casts.hpp"

namespace kestrune::predictor {
namespace {

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
  // Dividing by a zero bin count would turn every threshold of a non-constant feature into
  // inf or NaN, and the model would then score silently wrong.
  if (max_data_bin == 0) throw PredictorError::invalid_input("max_data_bin must be greater than 0");
  const float bins = static_cast<float>(max_data_bin);
  constexpr float kEpsilon = std::numeric_limits<float>::epsilon();
  rewrite_thresholds(*this, true, [&](std::uint32_t feature, float threshold) {
    const float min = feature_mins[feature];
    const float range = feature_maxs[feature] - min;
    if (range <= kEpsilon) return min + kEpsilon;
    return min + range * ((threshold + 0.5f) / bins);
  });
}

void Predictor::convert_bin_thresholds_to_float_quantile(std::span<const std::vector<float>> feature_cuts) {
  if (feature_cuts.size() != feature_count()) {
    throw PredictorError::invalid_input("feature_cuts length " + std::to_string(feature_cuts.size()) +
                                        " must match feature_count " + std::to_string(feature_count()));
  }
  rewrite_thresholds(*this, true, [&](std::uint32_t feature, float threshold) {
    const std::vector<float>& cuts = feature_cuts[feature];
    const std::uint64_t bin = support::saturating_cast<std::uint64_t>(threshold);
    return bin < cuts.size() ? cuts[bin] : std::numeric_limits<float>::max();
  });
}

void Predictor::convert_bin_thresholds_to_float_prebinned() {
  rewrite_thresholds(*this, false, [](std::uint32_t, float threshold) { return threshold + 0.5f; });
}

}  // namespace kestrune::predictor

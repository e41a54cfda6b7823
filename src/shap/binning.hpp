// How the raw feature values of a row map to the bins a binned model split on, so that rows of
// raw values can be explained: the four binning descriptions, the bin of one value, the branch a
// value takes at a stump, and the quantization of a row.
//
// A raw value is binned by the training quantizer's own rules (quantization/bin_rules.hpp) and the
// bin compared with the split bin, never compared with a raw threshold derived from the split bin:
// such a threshold rounds differently from the quantizer for values on or next to a bin edge, and
// for constant features, and the explained path would then not be the path the predictor takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "engine/trained_stump.hpp"

namespace kestrune::shap {

// Equal-width bins from each feature's minimum to its maximum, up to max_data_bin.
struct LinearBinning {
  std::vector<float> feature_mins;
  std::vector<float> feature_maxs;
  std::uint16_t max_data_bin = 0;
};

// Bins bounded by each feature's cut points.
struct QuantileBinning {
  std::vector<std::vector<float>> feature_cuts;
};

// The rows already hold bin numbers.
struct PreBinned {};

// Features with a sorted-value list are binned by rank among those values, the others linearly.
struct LinearRankBinning {
  std::vector<std::optional<std::vector<float>>> per_feature;
  std::vector<float> feature_mins;
  std::vector<float> feature_maxs;
  std::uint16_t max_data_bin = 0;
};

using BinningContext = std::variant<LinearBinning, QuantileBinning, PreBinned, LinearRankBinning>;

// Every list must hold one entry per model feature (ShapError::InvalidInput otherwise).
void check_binning_lengths(const BinningContext& binning, std::size_t feature_count);

// The bin of a non-NaN raw value of `feature`, as a float: the training quantizer's linear, quantile
// or rank code; a PreBinned value is its own bin.
float bin_of_value(const BinningContext& binning, std::uint32_t feature, float x);

// The branch of one stump for value x: NaN by the default side, categories by the bitset, numeric
// values against the split bin: x <= bin without a context (the rows are bins), and with one
// bin_of_value(x) < bin + 0.5 (a PreBinned row with a fraction goes where its rounded bin goes).
bool stump_goes_left(const engine::TrainedStump& stump, const BinningContext* binning, float x);

// The row's bins under the LinearRank description (NaN stays NaN); absent for every other
// description. The explainers do not bin rows ahead (stump_goes_left bins what a numeric stump
// reads); this serves callers that want the bins a rank-binned model saw.
std::optional<std::vector<float>> quantize_row_for_linear_rank(const BinningContext& binning,
                                                               std::span<const float> row);

}  // namespace kestrune::shap

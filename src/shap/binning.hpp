// How the split bins of a binned model map back to raw feature values, so that rows of raw
// values can be explained: the four binning descriptions, the raw threshold of a split, the
// branch a value takes at a stump, and the rank quantization of a row.
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

// 2^-23: below this a feature's range counts as empty, and tree weights this close to 1 as 1.
inline constexpr float kF32Epsilon = 1.1920929e-7f;

// Every list must hold one entry per model feature (ShapError::InvalidInput otherwise).
void check_binning_lengths(const BinningContext& binning, std::size_t feature_count);

// The raw value below which a numeric split on `feature` with `split_bin` sends a row left.
float raw_split_threshold(const BinningContext& binning, std::uint32_t feature, std::uint16_t split_bin);

// The branch of one stump for value x: NaN by the default side, categories by the bitset, numeric
// values against the split bin (x <= bin) without a context and against the raw threshold
// (x < threshold) with one.
bool stump_goes_left(const engine::TrainedStump& stump, const BinningContext* binning, float x);

// The row's bin numbers under the LinearRank description, by the training quantizer's own rank and
// linear rules; absent for every other description.
std::optional<std::vector<float>> quantize_row_for_linear_rank(const BinningContext& binning,
                                                               std::span<const float> row);

}  // namespace kestrune::shap

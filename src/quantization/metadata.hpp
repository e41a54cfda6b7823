// The binning strategy of continuous features and the per-feature facts needed to bin rows of
// the same model again (at validation and prediction time).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrune::quantization {

enum class ContinuousBinningStrategy : std::uint8_t { Linear = 0, Rank = 1, Quantile = 2 };

// "linear", "rank" or "quantile", compared exactly; anything else throws EngineError
// InvalidConfig "continuous_binning_strategy must be one of: linear, quantile, rank; received '{}'".
ContinuousBinningStrategy parse_continuous_binning_strategy(std::string_view text);

// Which lists are present depends on how the training values were binned:
//   already binned:                     none (uses_continuous_binning false)
//   Linear:                             mins, maxs; with the linear-tail switch on also the rank
//                                       flags, and the sorted values when some feature is flagged
//   Rank:                               sorted values
//   Quantile:                           quantile cuts
// A feature whose training values are all NaN has minimum +inf, maximum -inf, no sorted values
// and no cuts.
struct ContinuousBinningMetadataInternal {
  bool uses_continuous_binning = false;
  std::optional<std::vector<float>> feature_mins;
  std::optional<std::vector<float>> feature_maxs;
  std::optional<std::vector<std::vector<float>>> feature_sorted_values;
  std::optional<std::vector<std::vector<float>>> feature_quantile_cuts;
  std::optional<std::vector<bool>> feature_linear_rank_flags;
};

}  // namespace kestrune::quantization

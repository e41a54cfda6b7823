#include "engine/error.hpp"
#include "quantization/metadata.hpp"

namespace kestrune::quantization {

ContinuousBinningStrategy parse_continuous_binning_strategy(std::string_view text) {
  if (text == "linear") return ContinuousBinningStrategy::Linear;
  if (text == "rank") return ContinuousBinningStrategy::Rank;
  if (text == "quantile") return ContinuousBinningStrategy::Quantile;
  throw engine::EngineError::invalid_config("continuous_binning_strategy must be one of: linear, quantile, rank; received '" +
                                            std::string(text) + "'");
}

}  // namespace kestrune::quantization

// The binning arguments of the `_with_binning` SHAP functions and the BinningContext built from
// them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "arguments.hpp"
#include "shap/binning.hpp"

namespace kestrune::python {

struct BinningArguments {
  std::string_view binning_kind;
  std::optional<std::vector<float>> feature_mins;
  std::optional<std::vector<float>> feature_maxs;
  std::optional<std::uint16_t> max_data_bin;
  std::optional<std::vector<std::vector<float>>> feature_cuts;
  std::optional<std::vector<std::optional<std::vector<float>>>> linear_rank_per_feature;
};

// Converts binning_kind and the five optional lists, in parameter order.
BinningArguments read_binning_arguments(Arguments& args);

// Selects the kind by its exact name and checks that the arguments it needs were given (presence
// only: the explainer checks the lengths against the model). shap::ShapError::InvalidInput
// otherwise.
shap::BinningContext build_binning_context(BinningArguments arguments);

}  // namespace kestrune::python

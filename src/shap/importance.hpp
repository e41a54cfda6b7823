// Global feature importance: the mean absolute SHAP value of each feature over the caller's rows
// and over every class or output model of an artifact, largest first.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "shap/binning.hpp"

namespace kestrune::shap {

// One (feature name, importance) pair per feature name of the artifact, sorted by importance
// descending; equal or incomparable (NaN) importances are ordered by name in ascending byte order.
using FeatureImportance = std::vector<std::pair<std::string, float>>;

FeatureImportance global_importance_from_artifact_bytes(std::span<const std::uint8_t> bytes,
                                                        std::span<const std::vector<float>> rows);
FeatureImportance global_importance_from_artifact_bytes_with_binning(std::span<const std::uint8_t> bytes,
                                                                     std::span<const std::vector<float>> rows,
                                                                     const BinningContext& binning);

// The shared body of both forms; `binning` may be null.
FeatureImportance global_importance_helper(std::span<const std::uint8_t> bytes,
                                           std::span<const std::vector<float>> rows, const BinningContext* binning);

}  // namespace kestrune::shap

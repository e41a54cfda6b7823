#include "shap/binning.hpp"

#include <cmath>
#include <string>

#include "engine/routing.hpp"
#include "predictor/evaluation.hpp"
#include "quantization/bin_rules.hpp"
#include "shap/error.hpp"
#include "support/panic.hpp"

namespace kestrune::shap {
namespace {

template <typename T>
const T& entry(const std::vector<T>& list, std::uint32_t feature) {
  support::invariant(feature < list.size(), "binning lists hold one entry per model feature");
  return list[feature];
}

const std::vector<float>* sorted_values(const LinearRankBinning& binning, std::uint32_t feature) {
  if (feature >= binning.per_feature.size() || !binning.per_feature[feature]) return nullptr;
  return &*binning.per_feature[feature];
}

}  // namespace

void check_binning_lengths(const BinningContext& binning, std::size_t feature_count) {
  const std::string f = std::to_string(feature_count);
  if (const auto* linear = std::get_if<LinearBinning>(&binning)) {
    if (linear->feature_mins.size() != feature_count || linear->feature_maxs.size() != feature_count) {
      throw ShapError::invalid_input("BinningContext::Linear: feature_mins/feature_maxs length (" +
                                     std::to_string(linear->feature_mins.size()) + "/" +
                                     std::to_string(linear->feature_maxs.size()) + ") must match feature_count " + f);
    }
  } else if (const auto* quantile = std::get_if<QuantileBinning>(&binning)) {
    if (quantile->feature_cuts.size() != feature_count) {
      throw ShapError::invalid_input("BinningContext::Quantile: feature_cuts length " +
                                     std::to_string(quantile->feature_cuts.size()) + " must match feature_count " + f);
    }
  } else if (const auto* rank = std::get_if<LinearRankBinning>(&binning)) {
    if (rank->per_feature.size() != feature_count || rank->feature_mins.size() != feature_count ||
        rank->feature_maxs.size() != feature_count) {
      throw ShapError::invalid_input("BinningContext::LinearRank: per_feature/feature_mins/feature_maxs lengths (" +
                                     std::to_string(rank->per_feature.size()) + "/" +
                                     std::to_string(rank->feature_mins.size()) + "/" +
                                     std::to_string(rank->feature_maxs.size()) + ") must all match feature_count " + f);
    }
  }
}

float bin_of_value(const BinningContext& binning, std::uint32_t feature, float x) {
  if (std::holds_alternative<PreBinned>(binning)) return x;
  if (const auto* linear = std::get_if<LinearBinning>(&binning)) {
    return static_cast<float>(quantization::linear_code(x, entry(linear->feature_mins, feature),
                                                        entry(linear->feature_maxs, feature), linear->max_data_bin));
  }
  if (const auto* quantile = std::get_if<QuantileBinning>(&binning)) {
    return static_cast<float>(quantization::quantile_code(x, entry(quantile->feature_cuts, feature)));
  }
  const auto& rank = std::get<LinearRankBinning>(binning);
  if (const std::vector<float>* values = sorted_values(rank, feature)) {
    return static_cast<float>(quantization::rank_code(x, *values, rank.max_data_bin));
  }
  return static_cast<float>(quantization::linear_code(x, entry(rank.feature_mins, feature),
                                                      entry(rank.feature_maxs, feature), rank.max_data_bin));
}

bool stump_goes_left(const engine::TrainedStump& stump, const BinningContext* binning, float x) {
  if (std::isnan(x)) return stump.default_left;
  if (stump.categorical) {
    if (!stump.category_bitset) return stump.default_left;
    return engine::category_goes_left(*stump.category_bitset, predictor::category_of(x));
  }
  if (binning == nullptr) return x <= static_cast<float>(stump.split_bin);
  return bin_of_value(*binning, stump.feature_index, x) < static_cast<float>(stump.split_bin) + 0.5f;
}

std::optional<std::vector<float>> quantize_row_for_linear_rank(const BinningContext& binning,
                                                               std::span<const float> row) {
  if (!std::holds_alternative<LinearRankBinning>(binning)) return std::nullopt;
  std::vector<float> bins;
  bins.reserve(row.size());
  for (std::size_t i = 0; i < row.size(); ++i) {
    const float x = row[i];
    bins.push_back(std::isnan(x) ? x : bin_of_value(binning, static_cast<std::uint32_t>(i), x));
  }
  return bins;
}

}  // namespace kestrune::shap

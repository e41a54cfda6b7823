#include "shap/binning.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "engine/routing.hpp"
#include "predictor/evaluation.hpp"
#include "quantization/bin_rules.hpp"
#include "shap/error.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::shap {
namespace {

constexpr float kLargestFinite = std::numeric_limits<float>::max();

template <typename T>
const T& entry(const std::vector<T>& list, std::uint32_t feature) {
  support::invariant(feature < list.size(), "binning lists hold one entry per model feature");
  return list[feature];
}

float linear_threshold(const std::vector<float>& mins, const std::vector<float>& maxs, std::uint16_t max_data_bin,
                       std::uint32_t feature, std::uint16_t split_bin) {
  const float min = entry(mins, feature);
  const float range = entry(maxs, feature) - min;
  if (range <= kF32Epsilon) return min + kF32Epsilon;
  return min + range * ((static_cast<float>(split_bin) + 0.5f) / static_cast<float>(max_data_bin));
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

float raw_split_threshold(const BinningContext& binning, std::uint32_t feature, std::uint16_t split_bin) {
  if (std::holds_alternative<PreBinned>(binning)) return static_cast<float>(split_bin) + 0.5f;
  if (const auto* linear = std::get_if<LinearBinning>(&binning)) {
    return linear_threshold(linear->feature_mins, linear->feature_maxs, linear->max_data_bin, feature, split_bin);
  }
  if (const auto* quantile = std::get_if<QuantileBinning>(&binning)) {
    const std::vector<float>& cuts = entry(quantile->feature_cuts, feature);
    return split_bin < cuts.size() ? cuts[split_bin] : kLargestFinite;
  }
  const auto& rank = std::get<LinearRankBinning>(binning);
  const std::vector<float>* values = sorted_values(rank, feature);
  if (values == nullptr) {
    return linear_threshold(rank.feature_mins, rank.feature_maxs, rank.max_data_bin, feature, split_bin);
  }
  const std::size_t n = values->size();
  if (n < 2) return kLargestFinite;
  const float position =
      (static_cast<float>(split_bin) + 0.5f) * static_cast<float>(n - 1) / static_cast<float>(rank.max_data_bin);
  const auto index = support::saturating_cast<std::uint64_t>(std::ceil(position));
  return (*values)[index < n - 1 ? index : n - 1];
}

bool stump_goes_left(const engine::TrainedStump& stump, const BinningContext* binning, float x) {
  if (std::isnan(x)) return stump.default_left;
  if (stump.categorical) {
    if (!stump.category_bitset) return stump.default_left;
    return engine::category_goes_left(*stump.category_bitset, predictor::category_of(x));
  }
  if (binning == nullptr) return x <= static_cast<float>(stump.split_bin);
  return x < raw_split_threshold(*binning, stump.feature_index, stump.split_bin);
}

std::optional<std::vector<float>> quantize_row_for_linear_rank(const BinningContext& binning,
                                                               std::span<const float> row) {
  const auto* rank = std::get_if<LinearRankBinning>(&binning);
  if (rank == nullptr) return std::nullopt;
  std::vector<float> codes;
  codes.reserve(row.size());
  for (std::size_t i = 0; i < row.size(); ++i) {
    const auto feature = static_cast<std::uint32_t>(i);
    const std::vector<float>* values = sorted_values(*rank, feature);
    const std::uint16_t code =
        values != nullptr
            ? quantization::rank_code(row[i], *values, rank->max_data_bin)
            : quantization::linear_code(row[i], entry(rank->feature_mins, feature), entry(rank->feature_maxs, feature),
                                        rank->max_data_bin);
    codes.push_back(static_cast<float>(code));
  }
  return codes;
}

}  // namespace kestrune::shap

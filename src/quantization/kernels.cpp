#include "quantization/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/error.hpp"
#include "parallel/parallel.hpp"
#include "quantization/bin_rules.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::quantization {
namespace {

constexpr std::size_t kMinRowsPerChunk = 256;

// The lists one strategy reads, checked for presence (a caller's error) and then for covering
// every feature (an internal one).
struct FeatureRules {
  ContinuousBinningStrategy strategy;
  std::span<const float> mins;
  std::span<const float> maxs;
  const std::vector<std::vector<float>>* sorted = nullptr;
  const std::vector<std::vector<float>>* cuts = nullptr;
  const std::vector<bool>* rank_flags = nullptr;
};

FeatureRules checked_rules(ContinuousBinningStrategy strategy, const ContinuousBinningMetadataInternal& metadata,
                           std::size_t feature_count) {
  FeatureRules rules{strategy, {}, {}};
  switch (strategy) {
    case ContinuousBinningStrategy::Linear:
      if (!metadata.feature_mins) throw engine::EngineError::contract_violation("continuous linear minima are missing");
      if (!metadata.feature_maxs) throw engine::EngineError::contract_violation("continuous linear maxima are missing");
      if (metadata.feature_mins->size() < feature_count) support::panic("mins validated");
      if (metadata.feature_maxs->size() < feature_count) support::panic("maxs validated");
      rules.mins = *metadata.feature_mins;
      rules.maxs = *metadata.feature_maxs;
      if (metadata.feature_linear_rank_flags) {
        rules.rank_flags = &*metadata.feature_linear_rank_flags;
        if (rules.rank_flags->size() < feature_count) support::panic("rank flags validated");
        for (std::size_t f = 0; f < feature_count; ++f) {
          if (!(*rules.rank_flags)[f]) continue;
          if (!metadata.feature_sorted_values || metadata.feature_sorted_values->size() <= f) {
            support::panic("sorted values validated");
          }
        }
        if (metadata.feature_sorted_values) rules.sorted = &*metadata.feature_sorted_values;
      }
      break;
    case ContinuousBinningStrategy::Rank:
      if (!metadata.feature_sorted_values) {
        throw engine::EngineError::contract_violation("continuous rank sorted values are missing");
      }
      if (metadata.feature_sorted_values->size() < feature_count) support::panic("sorted values validated");
      rules.sorted = &*metadata.feature_sorted_values;
      break;
    case ContinuousBinningStrategy::Quantile:
      if (!metadata.feature_quantile_cuts) throw engine::EngineError::contract_violation("continuous quantile cuts are missing");
      if (metadata.feature_quantile_cuts->size() < feature_count) support::panic("cuts validated");
      rules.cuts = &*metadata.feature_quantile_cuts;
      break;
  }
  return rules;
}

// The code of a non-NaN value of feature f.
std::uint16_t value_code(const FeatureRules& rules, std::size_t f, float x, std::uint16_t max_bin) {
  switch (rules.strategy) {
    case ContinuousBinningStrategy::Linear:
      if (rules.rank_flags != nullptr && (*rules.rank_flags)[f]) return rank_code(x, (*rules.sorted)[f], max_bin);
      return linear_code(x, rules.mins[f], rules.maxs[f], max_bin);
    case ContinuousBinningStrategy::Rank:
      return rank_code(x, (*rules.sorted)[f], max_bin);
    case ContinuousBinningStrategy::Quantile:
      return static_cast<std::uint16_t>(std::min<std::size_t>(quantile_code(x, (*rules.cuts)[f]), max_bin));
  }
  return 0;
}

template <typename Code>
QuantizedDenseValues<Code> quantize(std::span<const float> values, std::size_t row_count, std::size_t feature_count,
                                    ContinuousBinningStrategy strategy,
                                    const ContinuousBinningMetadataInternal& metadata, bool keep_dense_values,
                                    std::uint16_t max_bin, std::uint16_t missing_code) {
  const FeatureRules rules = checked_rules(strategy, metadata, feature_count);
  const auto cells = support::checked_mul(row_count, feature_count);
  support::invariant(cells.has_value() && *cells == values.size(), "matrix shape matches its values");
  support::invariant(missing_code <= std::numeric_limits<Code>::max(), "missing code fits the storage");

  QuantizedDenseValues<Code> result;
  result.bins.assign(*cells, Code{0});
  if (keep_dense_values) result.float_values.assign(*cells, 0.0f);
  if (*cells == 0) return result;

  const std::size_t chunk_rows = rows_per_chunk(row_count, kMinRowsPerChunk);
  const std::size_t chunk_count = (row_count + chunk_rows - 1) / chunk_rows;
  std::vector<std::uint16_t> chunk_max(chunk_count, 0);
  parallel::parallel_for_chunks(row_count, chunk_rows, [&](std::size_t first_row, std::size_t end_row) {
    std::uint16_t largest = 0;
    for (std::size_t row = first_row; row < end_row; ++row) {
      const std::size_t base = row * feature_count;
      for (std::size_t f = 0; f < feature_count; ++f) {
        const float x = values[base + f];
        const std::uint16_t code = std::isnan(x) ? missing_code : value_code(rules, f, x, max_bin);
        result.bins[base + f] = static_cast<Code>(code);
        if (keep_dense_values) result.float_values[base + f] = static_cast<float>(code);
        largest = std::max(largest, code);
      }
    }
    chunk_max[first_row / chunk_rows] = largest;
  });
  for (const std::uint16_t largest : chunk_max) result.max_code = std::max(result.max_code, largest);
  return result;
}

}  // namespace

std::size_t rows_per_chunk(std::size_t row_count, std::size_t minimum_rows) {
  const std::size_t threads = std::max<std::size_t>(parallel::current_num_threads(), 1);
  return std::max(row_count / threads, minimum_rows);
}

QuantizedDenseValues<std::uint8_t> quantize_dense_values_with_metadata(std::span<const float> values,
                                                                       std::size_t row_count,
                                                                       std::size_t feature_count,
                                                                       ContinuousBinningStrategy strategy,
                                                                       const ContinuousBinningMetadataInternal& metadata,
                                                                       bool keep_dense_values) {
  return quantize<std::uint8_t>(values, row_count, feature_count, strategy, metadata, keep_dense_values, kU8MaxBin,
                                kU8MissingBin);
}

QuantizedDenseValues<std::uint16_t> quantize_dense_values_with_metadata_wide(
    std::span<const float> values, std::size_t row_count, std::size_t feature_count,
    ContinuousBinningStrategy strategy, const ContinuousBinningMetadataInternal& metadata, bool keep_dense_values,
    std::uint16_t max_bin) {
  support::invariant(max_bin < std::numeric_limits<std::uint16_t>::max(), "wide max_bin leaves room for the missing code");
  return quantize<std::uint16_t>(values, row_count, feature_count, strategy, metadata, keep_dense_values, max_bin,
                                 static_cast<std::uint16_t>(max_bin + 1));
}

}  // namespace kestrune::quantization

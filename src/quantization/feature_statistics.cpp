#include "quantization/feature_statistics.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "parallel/parallel.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"
#include "support/stable_sort.hpp"

namespace kestrune::quantization {
namespace {

void check_shape(std::span<const float> values, std::size_t row_count, std::size_t feature_count) {
  const auto cells = support::checked_mul(row_count, feature_count);
  support::invariant(cells.has_value() && *cells == values.size(), "matrix shape matches its values");
}

// IEEE total order for values without NaN: the usual order, with -0 before +0.
bool total_order_less(float a, float b) noexcept {
  if (a < b) return true;
  return a == b && std::signbit(a) && !std::signbit(b);
}

std::vector<float> sorted_column(std::span<const float> values, std::size_t row_count, std::size_t feature_count,
                                 std::size_t feature) {
  std::vector<float> column;
  column.reserve(row_count);
  for (std::size_t row = 0; row < row_count; ++row) {
    const float x = values[row * feature_count + feature];
    if (!std::isnan(x)) column.push_back(x);
  }
  support::stable_merge_sort(column, total_order_less);
  return column;
}

}  // namespace

std::pair<std::vector<float>, std::vector<float>> derive_dense_feature_bounds(std::span<const float> values,
                                                                              std::size_t row_count,
                                                                              std::size_t feature_count) {
  check_shape(values, row_count, feature_count);
  using Bounds = std::pair<float, float>;
  const std::vector<Bounds> bounds = parallel::parallel_map<Bounds>(feature_count, [&](std::size_t feature) {
    float lo = std::numeric_limits<float>::infinity();
    float hi = -std::numeric_limits<float>::infinity();
    for (std::size_t row = 0; row < row_count; ++row) {
      const float x = values[row * feature_count + feature];
      if (x < lo) lo = x;
      if (x > hi) hi = x;
    }
    return Bounds{lo, hi};
  });
  std::vector<float> minima(feature_count);
  std::vector<float> maxima(feature_count);
  for (std::size_t f = 0; f < feature_count; ++f) {
    minima[f] = bounds[f].first;
    maxima[f] = bounds[f].second;
  }
  return {std::move(minima), std::move(maxima)};
}

std::vector<std::vector<float>> derive_dense_sorted_feature_values(std::span<const float> values, std::size_t row_count,
                                                                   std::size_t feature_count) {
  check_shape(values, row_count, feature_count);
  return parallel::parallel_map<std::vector<float>>(
      feature_count, [&](std::size_t feature) { return sorted_column(values, row_count, feature_count, feature); });
}

std::vector<float> quantile_cuts_of_sorted(std::span<const float> sorted, std::size_t max_bins) {
  const std::size_t n = sorted.size();
  std::vector<float> cuts;
  if (n <= 1) return cuts;
  const std::size_t k = std::min(n, max_bins);
  for (std::size_t i = 1; i < k; ++i) {
    const auto scaled = support::checked_mul(i, n);
    support::invariant(scaled.has_value(), "quantile position fits in a size");
    const std::size_t index = std::min(*scaled / k, n - 1);
    const float candidate = sorted[index];
    if (cuts.empty() || candidate > cuts.back()) cuts.push_back(candidate);
  }
  return cuts;
}

std::vector<std::vector<float>> derive_dense_feature_quantile_cuts(std::span<const float> values, std::size_t row_count,
                                                                   std::size_t feature_count, std::size_t max_bins) {
  const std::vector<std::vector<float>> sorted = derive_dense_sorted_feature_values(values, row_count, feature_count);
  return parallel::parallel_map<std::vector<float>>(
      feature_count, [&](std::size_t feature) { return quantile_cuts_of_sorted(sorted[feature], max_bins); });
}

}  // namespace kestrune::quantization

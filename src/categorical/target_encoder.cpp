#include "categorical/target_encoder.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string_view>
#include <unordered_map>

#include "support/casts.hpp"
#include "support/stable_sort.hpp"

namespace kestrune::categorical {
namespace {

// The distinct categories in byte-wise order and each row's position among them.
struct IndexedColumn {
  std::vector<std::string_view> categories;
  std::vector<std::uint32_t> row_category;
};

IndexedColumn index_column(std::span<const std::string> values) {
  // Rows first find their category's slot (first-seen order) by hash, then the slots are ranked
  // byte-wise: std::string_view compares through char_traits<char>, which orders bytes as
  // unsigned char. No result depends on the hash order.
  std::unordered_map<std::string_view, std::uint32_t> slots;
  std::vector<std::string_view> names;
  std::vector<std::uint32_t> row_slot;
  row_slot.reserve(values.size());
  for (const std::string& value : values) {
    const auto [entry, inserted] = slots.try_emplace(value, static_cast<std::uint32_t>(names.size()));
    if (inserted) names.emplace_back(value);
    row_slot.push_back(entry->second);
  }
  std::vector<std::uint32_t> by_name(names.size());
  std::iota(by_name.begin(), by_name.end(), std::uint32_t{0});
  std::sort(by_name.begin(), by_name.end(), [&](std::uint32_t a, std::uint32_t b) { return names[a] < names[b]; });
  std::vector<std::uint32_t> rank(names.size());
  IndexedColumn column;
  column.categories.reserve(names.size());
  for (std::uint32_t position = 0; position < by_name.size(); ++position) {
    rank[by_name[position]] = position;
    column.categories.push_back(names[by_name[position]]);
  }
  column.row_category.reserve(values.size());
  for (const std::uint32_t slot : row_slot) column.row_category.push_back(rank[slot]);
  return column;
}

float blend(double sum, std::uint64_t count, double prior, const TargetEncoderConfig& config) {
  if (count < config.min_samples_leaf) return static_cast<float>(prior);
  const double n = static_cast<double>(count);
  const double mean = sum / n;
  if (config.smoothing == 0.0) return static_cast<float>(mean);
  const double weight = n / (config.smoothing + n);
  return static_cast<float>(mean * weight + prior * (1.0 - weight));
}

void check_inputs(const TargetEncoderConfig& config, std::span<const std::string> values,
                  std::span<const float> targets, std::optional<std::span<const std::int64_t>> time_index) {
  // -0.0 passes: it is not below 0.
  if (!std::isfinite(config.smoothing) || config.smoothing < 0.0) {
    throw CategoricalError::invalid_input("smoothing must be finite and >= 0");
  }
  if (config.min_samples_leaf == 0) throw CategoricalError::invalid_input("min_samples_leaf must be greater than 0");
  if (values.empty()) throw CategoricalError::invalid_input("values cannot be empty");
  if (values.size() != targets.size()) {
    throw CategoricalError::invalid_input("values and targets must have matching lengths");
  }
  for (std::size_t i = 0; i < targets.size(); ++i) {
    if (!std::isfinite(targets[i])) {
      throw CategoricalError::invalid_input("target at index " + std::to_string(i) + " must be finite");
    }
  }
  if (config.time_aware) {
    if (!time_index) throw CategoricalError::invalid_input("time_aware target encoding requires time_index");
    if (time_index->size() != values.size()) {
      throw CategoricalError::invalid_input("time_index length " + std::to_string(time_index->size()) +
                                            " does not match row count " + std::to_string(values.size()));
    }
  }
}

TargetEncoderState fit_indexed(const TargetEncoderConfig& config, const IndexedColumn& column,
                               std::span<const float> targets) {
  std::vector<double> sums(column.categories.size(), 0.0);
  std::vector<std::uint64_t> counts(column.categories.size(), 0);
  double total = 0.0;
  for (std::size_t row = 0; row < targets.size(); ++row) {
    const double target = static_cast<double>(targets[row]);
    total += target;
    sums[column.row_category[row]] += target;
    ++counts[column.row_category[row]];
  }
  const double prior = total / static_cast<double>(targets.size());
  TargetEncoderState state;
  state.config = config;
  state.prior = static_cast<float>(prior);
  state.stats.reserve(column.categories.size());
  for (std::size_t k = 0; k < column.categories.size(); ++k) {
    state.stats.push_back(CategoryTargetStats{std::string(column.categories[k]),
                                              support::checked_cast<std::uint32_t>(counts[k]).value_or(std::numeric_limits<std::uint32_t>::max()),
                                              static_cast<float>(sums[k] / static_cast<double>(counts[k])),
                                              blend(sums[k], counts[k], prior, config)});
  }
  return state;
}

// Rows in ascending (time, row) order, walked in groups of equal time: a group is encoded from
// the running statistics of all earlier groups before its own targets join them.
std::vector<float> encode_time_aware(const TargetEncoderConfig& config, const IndexedColumn& column,
                                     std::span<const float> targets, std::span<const std::int64_t> time_index) {
  const std::size_t n = targets.size();
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  // Stable, so rows of equal time keep ascending row order.
  support::stable_merge_sort(order, [&](std::size_t a, std::size_t b) { return time_index[a] < time_index[b]; });

  std::vector<double> sums(column.categories.size(), 0.0);
  std::vector<std::uint64_t> counts(column.categories.size(), 0);
  double total = 0.0;
  std::uint64_t seen = 0;
  std::vector<float> encoded(n, 0.0f);
  for (std::size_t start = 0; start < n;) {
    std::size_t end = start + 1;
    while (end < n && time_index[order[end]] == time_index[order[start]]) ++end;
    const double prior = seen == 0 ? 0.0 : total / static_cast<double>(seen);
    for (std::size_t i = start; i < end; ++i) {
      const std::uint32_t k = column.row_category[order[i]];
      encoded[order[i]] = blend(sums[k], counts[k], prior, config);
    }
    for (std::size_t i = start; i < end; ++i) {
      const double target = static_cast<double>(targets[order[i]]);
      const std::uint32_t k = column.row_category[order[i]];
      sums[k] += target;
      ++counts[k];
      total += target;
      ++seen;
    }
    start = end;
  }
  return encoded;
}

}  // namespace

TargetEncoderState fit_target_encoder(const TargetEncoderConfig& config, std::span<const std::string> values,
                                      std::span<const float> targets,
                                      std::optional<std::span<const std::int64_t>> time_index) {
  check_inputs(config, values, targets, time_index);
  return fit_indexed(config, index_column(values), targets);
}

std::vector<float> transform_target_encoder(const TargetEncoderState& state, std::span<const std::string> values) {
  if (values.empty()) throw CategoricalError::invalid_input("values cannot be empty");
  std::unordered_map<std::string_view, float> encoded;
  encoded.reserve(state.stats.size());
  for (const CategoryTargetStats& stats : state.stats) encoded.emplace(stats.category, stats.encoded);
  std::vector<float> result;
  result.reserve(values.size());
  for (const std::string& value : values) {
    const auto found = encoded.find(value);
    result.push_back(found == encoded.end() ? state.prior : found->second);
  }
  return result;
}

FitTransformResult fit_transform_target_encoder(const TargetEncoderConfig& config,
                                                std::span<const std::string> values, std::span<const float> targets,
                                                std::optional<std::span<const std::int64_t>> time_index) {
  check_inputs(config, values, targets, time_index);
  const IndexedColumn column = index_column(values);
  FitTransformResult result{fit_indexed(config, column, targets), {}};
  if (!config.time_aware) {
    result.encoded.reserve(values.size());
    for (const std::uint32_t k : column.row_category) result.encoded.push_back(result.state.stats[k].encoded);
    return result;
  }
  result.encoded = encode_time_aware(config, column, targets, *time_index);
  return result;
}

}  // namespace kestrune::categorical

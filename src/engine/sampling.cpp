#include "engine/sampling.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>
#include <limits>
#include <numeric>
#include <utility>
#include <variant>

#include "support/casts.hpp"
#include "support/panic.hpp"
#include "support/stable_sort.hpp"

namespace kestrune::engine {

namespace {

// The largest difference from 1.0 that still counts as no amplification (float32 epsilon).
constexpr float kScaleEpsilon = std::numeric_limits<float>::epsilon();

std::uint64_t index_key(std::uint64_t index, std::uint64_t round_part) {
  return splitmix64_mix(((index * kSamplingIndexMultiplier) ^ round_part) + kSamplingGolden);
}

// The `k` candidates with the smallest keys (keys are distinct: every step of the key is a
// bijection), returned as indices in ascending order. A linear-time selection, then a sort of
// the chosen indices only.
template <typename Index>
std::vector<Index> smallest_keys(std::vector<std::pair<std::uint64_t, Index>>& keyed, std::size_t k) {
  if (k < keyed.size()) {
    std::nth_element(keyed.begin(), keyed.begin() + static_cast<std::ptrdiff_t>(k), keyed.end());
    keyed.resize(k);
  }
  std::vector<Index> chosen;
  chosen.reserve(keyed.size());
  for (const auto& entry : keyed) chosen.push_back(entry.second);
  std::sort(chosen.begin(), chosen.end());
  return chosen;
}

std::uint32_t row_index(std::size_t index) {
  support::invariant(index <= std::numeric_limits<std::uint32_t>::max(), "row index does not fit 32 bits");
  return static_cast<std::uint32_t>(index);
}

// The `count` rows that come first when ordered by larger magnitude, then smaller index.
std::vector<std::uint32_t> largest_magnitudes(std::span<const float> magnitudes, std::size_t count) {
  std::vector<std::uint32_t> order(magnitudes.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = row_index(i);
  const bool has_nan = std::any_of(magnitudes.begin(), magnitudes.end(), [](float m) { return std::isnan(m); });
  if (!has_nan) {
    // Magnitude, then index, is a strict total order here: a linear-time selection is exact.
    auto before = [&](std::uint32_t a, std::uint32_t b) {
      return magnitudes[a] > magnitudes[b] || (magnitudes[a] == magnitudes[b] && a < b);
    };
    std::nth_element(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(count), order.end(), before);
  } else {
    // A NaN magnitude compares equal to every value, so only the index decides against it. That
    // is no order a selection may rely on; a stable merge sort on the magnitude alone stays safe
    // and deterministic, and keeps index order among everything it finds equal.
    support::stable_merge_sort(order, [&](std::uint32_t a, std::uint32_t b) { return magnitudes[a] > magnitudes[b]; });
  }
  order.resize(count);
  std::sort(order.begin(), order.end());
  return order;
}

core::RowList merge_ascending(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
  core::RowList merged;
  merged.reserve(a.size() + b.size());
  std::merge(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(merged));
  return merged;
}

bool amplifies(const GossSample& sample) {
  return std::fabs(sample.scale - 1.0f) > kScaleEpsilon && !sample.others.empty();
}

void scale_pair(core::GradientPair& pair, float scale) {
  pair.grad *= scale;
  pair.hess *= scale;
}

core::RowList to_row_list(const std::vector<std::size_t>& indices) {
  core::RowList rows;
  rows.reserve(indices.size());
  for (std::size_t index : indices) rows.push_back(row_index(index));
  return rows;
}

}  // namespace

std::uint64_t sampling_seed_base(std::uint64_t seed, bool deterministic) {
  if (deterministic) return seed;
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  if (since_epoch.count() < 0) return seed;
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
  const auto subsecond = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch - seconds);
  const std::uint64_t nanos = static_cast<std::uint64_t>(seconds.count()) * 1000000000ull +
                              static_cast<std::uint64_t>(subsecond.count());
  return nanos ^ seed;
}

std::vector<std::size_t> sampled_indices(std::size_t n, std::uint64_t seed, std::uint64_t round, float rate) {
  if (n == 0) return {};
  const float count = static_cast<float>(n);
  const float wanted = std::fmin(std::fmax(std::ceil(rate * count), 1.0f), count);
  // Past 2^24 rows float32(n) may round below n: a full rate still keeps every row.
  const std::size_t k = rate >= 1.0f ? n : support::saturating_cast<std::size_t>(wanted);
  std::vector<std::size_t> all;
  if (k >= n) {
    all.resize(n);
    std::iota(all.begin(), all.end(), std::size_t{0});
    return all;
  }
  const std::uint64_t round_key = splitmix64_mix(((round * kSamplingGolden) ^ seed) + kSamplingGolden);
  std::vector<std::pair<std::uint64_t, std::size_t>> keyed(n);
  for (std::size_t i = 0; i < n; ++i) keyed[i] = {index_key(i, round_key), i};
  return smallest_keys(keyed, k);
}

GossSample goss_sample_indices(std::span<const float> values, std::uint64_t seed, std::uint64_t round, float top_rate,
                               float other_rate) {
  GossSample sample;
  const std::size_t n = values.size();
  if (n == 0) return sample;
  const float count = static_cast<float>(n);
  // Past 2^24 rows float32(n) may round below n: a full top rate still keeps every row.
  const std::size_t top_wanted =
      top_rate >= 1.0f ? n
                       : std::max<std::size_t>(support::saturating_cast<std::size_t>(std::ceil(top_rate * count)), 1);
  const std::size_t top_n = std::min(top_wanted, n);
  const std::size_t rest = n - top_n;
  const std::size_t other_n = std::min(rest, support::saturating_cast<std::size_t>(std::ceil(other_rate * count)));

  if (top_wanted >= n) {
    sample.top.resize(n);
    for (std::size_t i = 0; i < n; ++i) sample.top[i] = row_index(i);
    return sample;
  }
  std::vector<float> magnitudes(n);
  for (std::size_t i = 0; i < n; ++i) magnitudes[i] = std::fabs(values[i]);
  sample.top = largest_magnitudes(magnitudes, top_n);
  if (other_n == 0) return sample;

  // Unlike the plain draw, the round part of the key is not passed through the mixer first.
  const std::uint64_t round_part = (round * kSamplingGolden) ^ seed;
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
  keyed.reserve(rest);
  std::size_t next_top = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (next_top < sample.top.size() && sample.top[next_top] == i) {
      ++next_top;
      continue;
    }
    keyed.emplace_back(index_key(i, round_part), row_index(i));
  }
  sample.others = smallest_keys(keyed, other_n);
  sample.scale = static_cast<float>(rest) / static_cast<float>(other_n);
  return sample;
}

core::RowList select_row_indices_for_round(const core::BoostingMode& mode, std::size_t n, std::uint64_t seed_base,
                                           std::uint64_t round, std::span<core::GradientPair> gradients,
                                           float row_subsample) {
  const core::GossBoosting* goss = std::get_if<core::GossBoosting>(&mode);
  if (goss == nullptr) return to_row_list(sampled_indices(n, seed_base, round, row_subsample));
  std::vector<float> values(gradients.size());
  for (std::size_t i = 0; i < gradients.size(); ++i) values[i] = std::fabs(gradients[i].grad);
  GossSample sample = goss_sample_indices(values, seed_base, round, goss->goss_top_rate, goss->goss_other_rate);
  if (amplifies(sample)) {
    for (std::uint32_t row : sample.others) scale_pair(gradients[row], sample.scale);
  }
  return merge_ascending(sample.top, sample.others);
}

core::RowList select_row_indices_for_round_multiclass(const core::BoostingMode& mode, std::size_t n,
                                                      std::uint64_t seed_base, std::uint64_t round,
                                                      std::span<std::vector<core::GradientPair>> per_class,
                                                      float row_subsample) {
  const core::GossBoosting* goss = std::get_if<core::GossBoosting>(&mode);
  if (goss == nullptr) return to_row_list(sampled_indices(n, seed_base, round, row_subsample));
  support::invariant(!per_class.empty(), "multiclass GOSS requires at least one class gradient buffer");
  for (const std::vector<core::GradientPair>& gradients : per_class) {
    support::invariant(gradients.size() >= n, "class gradient buffer is shorter than the row count");
  }
  std::vector<float> values(n, 0.0f);
  for (std::size_t i = 0; i < n; ++i) {
    float sum = 0.0f;
    for (const std::vector<core::GradientPair>& gradients : per_class) sum += std::fabs(gradients[i].grad);
    values[i] = sum;
  }
  GossSample sample = goss_sample_indices(values, seed_base, round, goss->goss_top_rate, goss->goss_other_rate);
  if (amplifies(sample)) {
    for (std::vector<core::GradientPair>& gradients : per_class) {
      for (std::uint32_t row : sample.others) scale_pair(gradients[row], sample.scale);
    }
  }
  return merge_ascending(sample.top, sample.others);
}

}  // namespace kestrune::engine

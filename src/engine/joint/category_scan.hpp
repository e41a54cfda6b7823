// The prefix scan shared by the plain and the morph category-subset searches: the ordered
// categories are moved to the left one at a time, and the earliest prefix with the largest
// positive gain wins. The two searches differ only in the running sums they keep and the gain
// they score a prefix with, which `Prefix` supplies (add(category), gain()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/joint/shared_histogram.hpp"

namespace kestrune::engine::joint {

template <typename Prefix>
std::optional<MultiOutputCategoricalSplit> scan_category_prefixes(const std::vector<std::uint32_t>& order,
                                                                   Prefix& prefix,
                                                                   const CategoryRowLimit* limit = nullptr) {
  float best_gain = 0.0f;
  std::optional<std::size_t> winner;
  std::uint64_t left_rows = 0;
  // At least one category always stays on the right.
  for (std::size_t i = 0; i + 1 < order.size(); ++i) {
    prefix.add(order[i]);
    if (limit != nullptr) {
      left_rows += order[i] < limit->category_rows.size() ? limit->category_rows[order[i]] : 0u;
      const std::uint64_t right_rows = limit->non_missing_rows - left_rows;
      if (!children_keep_min_rows(left_rows, right_rows, limit->missing_rows, limit->min_rows)) continue;
    }
    const float gain = prefix.gain();
    if (gain > best_gain) {
      best_gain = gain;
      winner = i;
    }
  }
  if (!winner) return std::nullopt;
  std::uint64_t mask = 0;
  for (std::size_t j = 0; j <= *winner; ++j) mask |= std::uint64_t{1} << (order[j] % 64u);
  return MultiOutputCategoricalSplit{mask, best_gain, static_cast<std::uint32_t>(order.size())};
}

// Whether a category search can place the feature's categories at all.
inline bool category_count_searchable(std::size_t n_categories, std::size_t n_outputs) {
  return n_categories >= 2 && n_categories <= 64 && n_outputs > 0;
}

}  // namespace kestrune::engine::joint

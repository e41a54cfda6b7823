// The one rule that decides which side a binned row takes at a split. Row partitions, every
// tree walk, leaf refinement and the predictor all route through it, so a tree is scored
// exactly as it was grown.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/trained_stump.hpp"

namespace kestrune::engine {

// Category c is on the left when byte c >> 3 exists and its bit c & 7 is set.
inline bool category_goes_left(std::span<const std::uint8_t> bitset, std::uint32_t category) {
  const std::uint32_t byte = category >> 3;
  return byte < bitset.size() && ((bitset[byte] >> (category & 7u)) & 1u) != 0;
}

// The missing bin goes to the default side; a categorical split follows its bitset (the default
// side when it has none: a null category_bitset); otherwise a bin <= split_bin goes left.
inline bool routes_left(std::uint16_t bin, std::uint16_t missing_bin, std::uint16_t split_bin, bool default_left,
                        bool categorical, const std::vector<std::uint8_t>* category_bitset) {
  if (bin == missing_bin) return default_left;
  if (categorical) return category_bitset != nullptr ? category_goes_left(*category_bitset, bin) : default_left;
  return bin <= split_bin;
}

inline bool routes_left(std::uint16_t bin, std::uint16_t missing_bin, std::uint16_t split_bin, bool default_left,
                        bool categorical, const std::optional<std::vector<std::uint8_t>>& category_bitset) {
  return routes_left(bin, missing_bin, split_bin, default_left, categorical,
                     category_bitset ? &*category_bitset : nullptr);
}

inline bool routes_left(const TrainedStump& stump, std::uint16_t bin, std::uint16_t missing_bin) {
  return routes_left(bin, missing_bin, stump.split_bin, stump.default_left, stump.categorical,
                     stump.category_bitset ? &*stump.category_bitset : nullptr);
}

}  // namespace kestrune::engine

// Categorical split search: the best partition of one histogram's categories into a left and a
// right set. Categories are ordered by gradient over regularised hessian (descending leaf value)
// and only the prefixes of that order are tried, each with the missing rows on either side, so a
// feature of k populated categories costs k - 1 prefixes instead of 2^(k-1) subsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/histogram.hpp"
#include "engine/backend_ops.hpp"
#include "engine/env.hpp"
#include "engine/split_candidate.hpp"

namespace kestrune::backend_cpu {

// One populated category of a node: its histogram bin, never empty.
struct CategoryBin {
  float grad_sum = 0.0f;
  float hess_sum = 0.0f;
  float grad_sq_sum = 0.0f;
  std::uint16_t category = 0;  // the bin number, which is the category id
  std::uint32_t count = 0;
};

// Bin codes are at most 16 bits wide, so no row can name a category at or above this; bitsets
// stop there whatever category count the caller states.
inline constexpr std::size_t kMaxRoutableCategories = std::size_t{1} << 16;

// The byte length of the left-set bitset of a feature of `category_count` categories:
// ceil(count / 8), capped at the bytes of every category a bin code can name. The cap only
// drops bits that no row can ever test, so routing is the same as with the full length.
std::size_t categorical_bitset_length(std::size_t category_count);

// The left set of prefix p of the sorted list: the categories of entries 0 .. p, bit c % 8 of
// byte c / 8, bit 0 least significant. p must lie inside the list (panic otherwise).
std::vector<std::uint8_t> categorical_bitset_for_prefix(std::size_t category_count,
                                                        std::span<const CategoryBin> sorted, std::size_t prefix);

// The best category split of one histogram, absent when none is acceptable. Categories are the
// bins 0 .. min(category_count, bins, missing_bin) - 1; rows of any other non-missing bin count in
// neither child of the candidate (the row partition sends them right, and leaf values come from
// the partition's sums). A child is refused at min_child_hess or below, when empty, below
// min_rows_per_leaf rows, or (with min_leaf_magnitude > 0) when both leaf values are smaller than
// it; the gain must be finite and positive. On equal gains the shorter prefix wins, and at one
// prefix missing left. A morph context scores candidates with the morph gain. With a factor
// context (already validated) each gain is then reduced by the candidate's factor split penalty,
// which routes every node row again (exact, one pass per candidate).
std::optional<engine::SplitCandidate> best_split_for_categorical_feature_inner(
    const core::FeatureHistogram& histogram, std::uint32_t node_id, const engine::SplitSelectionOptions& options,
    std::size_t category_count, const engine::MorphContext* morph_context,
    const engine::FactorSplitContext* factor_context);

}  // namespace kestrune::backend_cpu

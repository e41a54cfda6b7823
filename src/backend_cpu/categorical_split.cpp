#include "backend_cpu/categorical_split.hpp"

#include <algorithm>
#include <cmath>

#include "backend_cpu/factor_penalty.hpp"
#include "backend_cpu/morph_gain.hpp"
#include "backend_cpu/split_gain.hpp"
#include "core/leaf.hpp"
#include "engine/error.hpp"
#include "support/panic.hpp"
#include "support/stable_sort.hpp"

namespace kestrune::backend_cpu {

namespace {

using core::HistogramBin;
using engine::SplitCandidate;
using engine::SplitSelectionOptions;

constexpr float kEpsilon = core::kLeafDenominatorEpsilon;

// The ordering key of a category: its gradient over its regularised hessian. Only a positive
// noise strength puts the gradient through the leaf's soft threshold; otherwise the raw sum is
// used, without the L1 threshold, so that categories within L1 of zero still keep their order.
float category_key(const CategoryBin& bin, const SplitSelectionOptions& options) {
  const std::optional<float> strength = options.gradient_noise_strength;
  const float gradient = strength && *strength > 0.0f
                             ? core::leaf_effective_gradient(bin.grad_sum, bin.grad_sq_sum, bin.count,
                                                             options.split_l1, strength)
                             : bin.grad_sum;
  return gradient / ((bin.hess_sum + options.split_l2) + kEpsilon);
}

// The populated categories of the node in ascending key order; equal keys (and keys that do not
// compare, NaN) keep ascending category order.
std::vector<CategoryBin> sorted_categories(std::vector<CategoryBin> categories, const SplitSelectionOptions& options) {
  struct Keyed {
    float key;
    CategoryBin bin;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(categories.size());
  for (const CategoryBin& bin : categories) keyed.push_back({category_key(bin, options), bin});
  support::stable_merge_sort(keyed, [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
  for (std::size_t i = 0; i < keyed.size(); ++i) categories[i] = keyed[i].bin;
  return categories;
}

}  // namespace

std::size_t categorical_bitset_length(std::size_t category_count) {
  return (std::min(category_count, kMaxRoutableCategories) + 7) / 8;
}

std::vector<std::uint8_t> categorical_bitset_for_prefix(std::size_t category_count,
                                                        std::span<const CategoryBin> sorted, std::size_t prefix) {
  support::invariant(prefix < sorted.size(), "categorical prefix lies outside the category list");
  std::vector<std::uint8_t> bitset(categorical_bitset_length(category_count), 0);
  for (std::size_t i = 0; i <= prefix; ++i) {
    const std::size_t category = sorted[i].category;
    const std::size_t byte = category / 8;
    if (byte < bitset.size()) bitset[byte] |= static_cast<std::uint8_t>(1u << (category % 8));
  }
  return bitset;
}

std::optional<SplitCandidate> best_split_for_categorical_feature_inner(const core::FeatureHistogram& histogram,
                                                                       std::uint32_t node_id,
                                                                       const SplitSelectionOptions& options,
                                                                       std::size_t category_count,
                                                                       const engine::MorphContext* morph_context,
                                                                       const engine::FactorSplitContext* factor_context) {
  if (category_count < 2) return std::nullopt;
  const std::span<const HistogramBin> bins = histogram.bins;
  const std::size_t m = options.missing_bin;
  const HistogramBin missing = m < bins.size() ? bins[m] : HistogramBin{};
  const std::size_t limit = std::min({category_count, bins.size(), m});
  if (limit == 0) return std::nullopt;
  // Histograms hold at most 65536 bins (16-bit codes), so every category scanned fits its id.
  support::invariant(limit <= kMaxRoutableCategories, "categorical histogram has more bins than 16-bit codes");

  HistogramBin non_missing;
  std::vector<CategoryBin> categories;
  for (std::size_t c = 0; c < limit; ++c) {
    const HistogramBin& bin = bins[c];
    add_bin(non_missing, bin);
    if (bin.count != 0) {
      categories.push_back({bin.grad_sum, bin.hess_sum, bin.grad_sq_sum, static_cast<std::uint16_t>(c), bin.count});
    }
  }
  if (categories.size() < 2) return std::nullopt;
  const HistogramBin parent{missing.grad_sum + non_missing.grad_sum, missing.hess_sum + non_missing.hess_sum,
                            missing.grad_sq_sum + non_missing.grad_sq_sum, non_missing.count + missing.count};
  if (!(parent.hess_sum > options.min_child_hess)) return std::nullopt;
  const float parent_term = gain_term(parent, options);
  const std::vector<CategoryBin> sorted = sorted_categories(std::move(categories), options);

  std::optional<FactorSplitScratch> factor;
  if (factor_context != nullptr) {
    factor.emplace(factor_context->exposures.factor_count);
    factor->bitset_buffer.assign(categorical_bitset_length(category_count), 0);
  }

  float best_gain = 0.0f;
  std::optional<SplitCandidate> best;
  HistogramBin prefix;
  for (std::size_t p = 0; p + 1 < sorted.size(); ++p) {
    add_bin(prefix, HistogramBin{sorted[p].grad_sum, sorted[p].hess_sum, sorted[p].grad_sq_sum, sorted[p].count});
    if (factor) {
      // Prefixes only grow: the left set of prefix p is that of p - 1 plus entry p's category.
      const std::size_t category = sorted[p].category;
      if (category / 8 < factor->bitset_buffer.size()) {
        factor->bitset_buffer[category / 8] |= static_cast<std::uint8_t>(1u << (category % 8));
      }
    }
    const HistogramBin rest{non_missing.grad_sum - prefix.grad_sum, non_missing.hess_sum - prefix.hess_sum,
                            non_missing.grad_sq_sum - prefix.grad_sq_sum, saturating_count_sub(non_missing.count, prefix.count)};
    for (const bool default_left : {true, false}) {
      const HistogramBin left =
          default_left ? HistogramBin{missing.grad_sum + prefix.grad_sum, missing.hess_sum + prefix.hess_sum,
                                      missing.grad_sq_sum + prefix.grad_sq_sum, prefix.count + missing.count}
                       : prefix;
      const HistogramBin right =
          default_left ? rest
                       : HistogramBin{missing.grad_sum + rest.grad_sum, missing.hess_sum + rest.hess_sum,
                                      missing.grad_sq_sum + rest.grad_sq_sum, rest.count + missing.count};
      std::optional<float> gain = morph_context != nullptr
                                      ? morph_candidate_gain(left, right, options, *morph_context)
                                      : candidate_gain(left, right, parent_term + parent_term, options);
      if (gain && factor) {
        // A non-finite gain was dropped already, and the penalty is >= 0 or NaN: the difference
        // needs only the finiteness test again.
        const FactorPenaltyCandidate penalised{std::span<const std::uint8_t>(factor->bitset_buffer),
                                               histogram.feature_index,
                                               child_leaf_value(left, options),
                                               child_leaf_value(right, options),
                                               0,
                                               default_left};
        *gain -= factor_split_penalty_for_candidate(*factor_context, *factor, penalised);
        if (!std::isfinite(*gain)) gain.reset();
      }
      if (!gain || !(*gain > best_gain)) continue;
      best_gain = *gain;
      SplitCandidate candidate;
      candidate.category_bitset =
          factor ? factor->bitset_buffer : categorical_bitset_for_prefix(category_count, sorted, p);
      candidate.left_stats = left;
      candidate.right_stats = right;
      candidate.node_id = node_id;
      candidate.feature_index = histogram.feature_index;
      candidate.gain = *gain;
      candidate.threshold_bin = 0;
      candidate.default_left = default_left;
      candidate.is_categorical = true;
      best = std::move(candidate);
    }
  }
  return best;
}

}  // namespace kestrune::backend_cpu

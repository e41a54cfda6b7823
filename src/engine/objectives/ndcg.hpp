// NDCG building blocks shared by the ranking objectives: relevance gain, position discount, the
// ideal DCG of a group, a group's NDCG, the stable score order and the pairwise logistic weight.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrune::engine::objectives {

namespace detail {

// Graded labels are small whole numbers and groups are short, so the gains of labels 0-31 and the
// discounts of the first 256 ranks are computed once, by the same expressions, and looked up.
inline constexpr std::size_t kGainTableLabels = 32;
inline constexpr std::size_t kDiscountTableRanks = 256;

inline float computed_relevance_gain(float label) noexcept { return std::exp2(label) - 1.0f; }
inline float computed_position_discount(std::size_t rank) noexcept {
  return 1.0f / std::log2(static_cast<float>(rank) + 2.0f);
}

struct RankingTables {
  float gain[kGainTableLabels];
  float discount[kDiscountTableRanks];
  RankingTables() noexcept {
    for (std::size_t l = 0; l < kGainTableLabels; ++l) gain[l] = computed_relevance_gain(static_cast<float>(l));
    for (std::size_t r = 0; r < kDiscountTableRanks; ++r) discount[r] = computed_position_discount(r);
  }
};

inline const RankingTables& ranking_tables() noexcept {
  static const RankingTables tables;
  return tables;
}

// The label's place in the gain table: a whole number below its size, else kGainTableLabels.
inline std::size_t gain_table_index(float label) noexcept {
  // The range test first, so that the conversion only sees values it can represent (NaN fails it).
  if (!(label >= 0.0f && label < static_cast<float>(kGainTableLabels))) return kGainTableLabels;
  const auto whole = static_cast<std::size_t>(label);
  return static_cast<float>(whole) == label ? whole : kGainTableLabels;
}

}  // namespace detail

// 2^label - 1.
inline float relevance_gain(float label) noexcept {
  const std::size_t index = detail::gain_table_index(label);
  if (index < detail::kGainTableLabels) return detail::ranking_tables().gain[index];
  return detail::computed_relevance_gain(label);
}
// 1 / log2(rank + 2) for a 0-based rank.
inline float position_discount(std::size_t rank) noexcept {
  if (rank < detail::kDiscountTableRanks) return detail::ranking_tables().discount[rank];
  return detail::computed_position_discount(rank);
}

// 1 / (1 + exp(x)), the weight of a pair whose better row leads by x; exp never overflows.
// Both forms share e = exp(-|x|) (which is exp(x) when x <= 0), so one exponential and a select
// give them without a branch, whose direction follows the scores and is hard to predict.
inline float pair_weight(float x) noexcept {
  const float e = std::exp(-std::fabs(x));
  const float numerator = x <= 0.0f ? 1.0f : e;
  return numerator / (1.0f + e);
}

// The NDCG change of swapping two rows, scaled by 1 / IDCG:
// inv_idcg * |(gain_hi - gain_lo) * (discount_hi - discount_lo)|.
inline float swap_delta(float inv_idcg, float gain_hi, float gain_lo, float discount_hi, float discount_lo) noexcept {
  return inv_idcg * std::fabs((gain_hi - gain_lo) * (discount_hi - discount_lo));
}

// Per-group buffers reused across the groups of one call, so that the per-group work allocates
// nothing of its own beyond what the stable sort needs.
struct RankingScratch {
  std::vector<float> sorted_labels;
  std::vector<std::size_t> order;  // positions by score, highest first
  std::vector<std::size_t> rank;   // rank[position]
  std::vector<float> gain;         // relevance_gain per position
  std::vector<float> discount;     // position_discount(rank[position]) per position
  std::vector<float> discount_by_rank;  // position_discount(r), grown on demand and kept
  std::vector<float> perturbed;    // noisy scores (YetiRank)
  std::vector<float> padded_scores;  // the scores being ranked, padded to whole lanes
  std::vector<std::int32_t> padded_counts;  // their counts of rows ranked first, likewise
  // LambdaMART's padded copies of a group's rows, one row's pair terms by the other row's
  // position (and its pairs' exponentials in list order, computed together), and the group's
  // running sums.
  std::vector<float> pair_label, pair_score, pair_gain, pair_discount;
  std::vector<float> pair_exp, pair_grad, pair_hess, listed_exp;
  std::vector<float> acc_grad, acc_hess;
  std::vector<std::uint32_t> label_index, partners, partner_begin, partner_end;
};

// DCG of the labels in their best order over the first min(n, k) positions (-0.0 for no labels).
float ideal_dcg(std::span<const float> labels, std::size_t k);
float ideal_dcg(std::span<const float> labels, std::size_t k, std::vector<float>& sorted_scratch);

// Fills scratch.order and scratch.rank for `scores`: highest first, equal scores by position.
// Memory-safe whatever the scores hold (NaN included).
void rank_by_score(std::span<const float> scores, RankingScratch& scratch);

namespace detail {
// rank_by_score counting short groups' ranks `lanes` rows at a time: 4, or 8 where the processor
// has AVX2 (8 elsewhere counts 4 at a time). Every width gives the same ranks.
void rank_by_score_in_lanes(std::size_t lanes, std::span<const float> scores, RankingScratch& scratch);
}  // namespace detail

// DCG of the order the predictions give, over the ideal DCG; 1.0 when the ideal DCG is <= 0 (an
// empty group, or no positive label). Labels and predictions must have the same length.
float ndcg_for_group(std::span<const float> labels, std::span<const float> predictions);
float ndcg_for_group(std::span<const float> labels, std::span<const float> predictions, RankingScratch& scratch);

// Fills scratch.gain with the relevance gain of each label.
void fill_gains(std::span<const float> labels, RankingScratch& scratch);
// Fills scratch.discount with the discount of each position's rank, from the last rank_by_score.
void fill_discounts(RankingScratch& scratch);

// 1 - the float64 mean of ndcg_for_group over the groups of `boundaries` (0 without groups). Every
// group counts, one scoring 1.0 when it has a single row or no positive label. Inputs are checked
// as check_ranking_inputs does.
float mean_ndcg_loss(std::span<const float> predictions, std::span<const float> targets,
                     std::span<const std::size_t> boundaries);
// The same loss from the groups' NDCGs (one per group, in group order), as mean_ndcg_loss folds
// them.
float ndcg_loss_from_groups(std::span<const float> group_ndcg);

}  // namespace kestrune::engine::objectives

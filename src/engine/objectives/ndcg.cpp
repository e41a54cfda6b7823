#include "engine/objectives/ndcg.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>

#include "engine/objectives/contract.hpp"
#include "engine/objectives/float_lanes.hpp"
#include "engine/objectives/ranking_groups.hpp"
#include "engine/objectives/row_parallel.hpp"
#include "parallel/per_thread.hpp"
#include "support/cpu_features.hpp"
#include "support/stable_sort.hpp"

namespace kestrune::engine::objectives {
namespace {

// A group's NDCG sorts its labels and its scores: a few dozen groups repay a thread's wake-up.
constexpr std::size_t kNdcgGroupsPerThread = 64;

float ndcg_loss_from_sum(double sum, std::size_t groups) {
  return static_cast<float>(1.0 - sum / static_cast<double>(groups));
}

}  // namespace

float ideal_dcg(std::span<const float> labels, std::size_t k) {
  std::vector<float> sorted;
  return ideal_dcg(labels, k, sorted);
}

float ideal_dcg(std::span<const float> labels, std::size_t k, std::vector<float>& sorted_scratch) {
  // Whole labels below the gain table's size are sorted by counting them: every correct sort
  // yields the same labels in the same order, so the sum below is unchanged.
  // The count loop does not branch on the labels: a label outside the table is counted in
  // place 0 and only clears `counted`, which sends the group to the sort below.
  std::uint32_t counts[detail::kGainTableLabels];
  for (std::uint32_t& count : counts) count = 0;
  bool counted = true;
  for (const float label : labels) {
    const std::size_t index = detail::gain_table_index(label);
    counted &= index < detail::kGainTableLabels;
    ++counts[index % detail::kGainTableLabels];
  }
  if (counted) {
    const std::size_t depth = std::min(labels.size(), k);
    const detail::RankingTables& tables = detail::ranking_tables();
    float dcg = -0.0f;
    std::size_t position = 0;
    for (std::size_t label = detail::kGainTableLabels; label-- > 0 && position < depth;) {
      if (counts[label] == 0) continue;
      const float gain = tables.gain[label];
      const std::size_t end = std::min<std::size_t>(position + counts[label], depth);
      // The table's ranks first, in a loop without a call, so that the sum stays in a register.
      const std::size_t tabled = std::min(end, detail::kDiscountTableRanks);
      for (; position < tabled; ++position) dcg += gain * tables.discount[position];
      for (; position < end; ++position) dcg += gain * position_discount(position);
    }
    return dcg;
  }
  sorted_scratch.assign(labels.begin(), labels.end());
  support::stable_merge_sort(sorted_scratch, [](float a, float b) { return a > b; });
  const std::size_t depth = std::min(sorted_scratch.size(), k);
  float dcg = -0.0f;
  for (std::size_t i = 0; i < depth; ++i) dcg += relevance_gain(sorted_scratch[i]) * position_discount(i);
  return dcg;
}

namespace {

// Groups up to this size are ranked by counting, which does n * n comparisons without a branch;
// larger ones are sorted.
constexpr std::size_t kCountedRankRows = 128;

// The widest lanes the counting is padded for.
constexpr std::size_t kMaxRankLanes = 8;

bool has_nan(std::span<const float> scores) {
  bool nan = false;
  for (const float s : scores) nan |= s != s;
  return nan;
}

// Ranks a group of n rows without NaN scores from scratch.padded_scores (the scores, then NaN to
// whole lanes and a vector more), by counting: without NaN "higher score first" is a strict weak
// order, so the stable order is unique, and row i comes after every row with a higher score and
// every earlier row with an equal one. -0 and +0 compare equal here as they do in the sort. One
// comparison settles a pair i < j both ways: j comes first when its score is higher, i otherwise.
// kWidth rows j at a time (NaN padding is never higher), each row counting the rows after it that
// come first and adding one to each row after it that comes second. The counts are whole numbers,
// the same at any width.
// Only ever inlined (the eight-lane form into the AVX2 function below), so that no call passes a
// vector by the baseline ABI.
template <std::size_t kWidth>
[[gnu::always_inline]] inline void count_ranks(std::size_t n, RankingScratch& scratch) {
  using Lanes = typename FloatLanes<kWidth>::Lanes;
  using Counts = typename FloatLanes<kWidth>::LaneMask;
  scratch.padded_counts.assign(scratch.padded_scores.size(), 0);
  const float* const s = scratch.padded_scores.data();
  std::int32_t* const behind = scratch.padded_counts.data();  // rows before i that come first
  Counts lane;
  for (std::size_t k = 0; k < kWidth; ++k) lane[k] = static_cast<std::int32_t>(k);
  for (std::size_t i = 0; i < n; ++i) {
    Lanes si;
    for (std::size_t k = 0; k < kWidth; ++k) si[k] = s[i];
    Counts ahead = {};  // rows after i that come first (a true lane is -1)
    // The rows j are taken from a whole multiple of kWidth, the lanes up to i left out: every
    // row's counts are then loaded exactly where the previous row stored them, and the core can
    // hand the stored vector on (a load across two earlier stores waits for both to finish).
    for (std::size_t j = (i + 1) / kWidth * kWidth; j < n; j += kWidth) {
      Lanes sj;
      std::memcpy(&sj, s + j, sizeof sj);
      // Lanes after i; i - j is below kWidth when it is not negative.
      const Counts after = j > i ? ~Counts{} : lane > static_cast<std::int32_t>(i - j);
      const Counts higher = (sj > si) & after;
      ahead += higher;
      Counts counts;
      std::memcpy(&counts, behind + j, sizeof counts);
      counts -= ~higher & after;
      std::memcpy(behind + j, &counts, sizeof counts);
    }
    std::int32_t first = 0;
    for (std::size_t k = 0; k < kWidth; ++k) first += ahead[k];
    scratch.rank[i] = static_cast<std::size_t>(behind[i] - first);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"
// Eight rows at a time where the processor has AVX2.
__attribute__((target("avx2"))) void count_ranks_avx2(std::size_t n, RankingScratch& scratch) {
  count_ranks<8>(n, scratch);
}
#pragma GCC diagnostic pop

#else
void count_ranks_avx2(std::size_t n, RankingScratch& scratch) { count_ranks<4>(n, scratch); }
#endif

}  // namespace

void rank_by_score(std::span<const float> scores, RankingScratch& scratch) {
  detail::rank_by_score_in_lanes(kMaxRankLanes, scores, scratch);
}

void detail::rank_by_score_in_lanes(std::size_t lanes, std::span<const float> scores, RankingScratch& scratch) {
  const std::size_t n = scores.size();
  scratch.order.resize(n);
  scratch.rank.resize(n);
  if (n <= kCountedRankRows && !has_nan(scores)) {
    const std::size_t padded = (n + kMaxRankLanes - 1) / kMaxRankLanes * kMaxRankLanes + kMaxRankLanes;
    scratch.padded_scores.assign(padded, std::numeric_limits<float>::quiet_NaN());
    std::copy(scores.begin(), scores.end(), scratch.padded_scores.begin());
    if (lanes == 8 && support::cpu_has_avx2()) {
      count_ranks_avx2(n, scratch);
    } else {
      count_ranks<4>(n, scratch);
    }
    for (std::size_t i = 0; i < n; ++i) scratch.order[scratch.rank[i]] = i;
    return;
  }
  for (std::size_t i = 0; i < n; ++i) scratch.order[i] = i;
  support::stable_merge_sort(scratch.order, [scores](std::size_t a, std::size_t b) { return scores[a] > scores[b]; });
  for (std::size_t r = 0; r < n; ++r) scratch.rank[scratch.order[r]] = r;
}

float ndcg_for_group(std::span<const float> labels, std::span<const float> predictions) {
  RankingScratch scratch;
  return ndcg_for_group(labels, predictions, scratch);
}

float ndcg_for_group(std::span<const float> labels, std::span<const float> predictions, RankingScratch& scratch) {
  check_lengths(predictions.size(), labels.size(), std::nullopt);
  const float idcg = ideal_dcg(labels, labels.size(), scratch.sorted_labels);
  if (idcg <= 0.0f) return 1.0f;
  rank_by_score(predictions, scratch);
  float dcg = -0.0f;
  for (std::size_t r = 0; r < scratch.order.size(); ++r) {
    dcg += position_discount(r) * relevance_gain(labels[scratch.order[r]]);
  }
  return dcg / idcg;
}

void fill_gains(std::span<const float> labels, RankingScratch& scratch) {
  scratch.gain.resize(labels.size());
  for (std::size_t i = 0; i < labels.size(); ++i) scratch.gain[i] = relevance_gain(labels[i]);
}

void fill_discounts(RankingScratch& scratch) {
  const std::size_t n = scratch.rank.size();
  // The logarithms of a rank are the same in every group and sample: compute each once per call.
  for (std::size_t r = scratch.discount_by_rank.size(); r < n; ++r) {
    scratch.discount_by_rank.push_back(position_discount(r));
  }
  scratch.discount.resize(n);
  for (std::size_t i = 0; i < n; ++i) scratch.discount[i] = scratch.discount_by_rank[scratch.rank[i]];
}

float mean_ndcg_loss(std::span<const float> predictions, std::span<const float> targets,
                     std::span<const std::size_t> boundaries) {
  check_ranking_inputs(predictions, targets, boundaries);
  const std::size_t groups = boundaries.size() - 1;
  if (groups == 0) return 0.0f;
  // The groups' NDCGs come from the pool; their sum stays one running total in group order.
  parallel::PerThread<RankingScratch> scratch;
  double sum = 0.0;
  fold_terms_in_order<float>(
      groups, kNdcgGroupsPerThread,
      [&](std::size_t g) {
        const std::size_t begin = boundaries[g];
        const std::size_t rows = boundaries[g + 1] - begin;
        return ndcg_for_group(targets.subspan(begin, rows), predictions.subspan(begin, rows), scratch.local());
      },
      [&](float ndcg) { sum += static_cast<double>(ndcg); });
  return ndcg_loss_from_sum(sum, groups);
}

float ndcg_loss_from_groups(std::span<const float> group_ndcg) {
  if (group_ndcg.empty()) return 0.0f;
  double sum = 0.0;
  for (const float ndcg : group_ndcg) sum += static_cast<double>(ndcg);
  return ndcg_loss_from_sum(sum, group_ndcg.size());
}

}  // namespace kestrune::engine::objectives

#include "engine/objectives/lambdamart.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "engine/objectives/ndcg.hpp"
#include "support/exp_lanes.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::objectives {
namespace {

// Pairwise work on every row, with a sort per group: a thread repays its wake-up from a couple of
// thousand rows on.
constexpr std::size_t kRowsPerThread = 2048;

// The pair terms are computed a vector of lanes at a time: four with the baseline instruction set,
// eight where the processor has AVX2 (the same operations on each lane, so the same floats).
template <std::size_t kWidth>
struct LaneTypes;
template <>
struct LaneTypes<4> {
  using Lanes = float __attribute__((vector_size(16)));
  using LaneMask = std::int32_t __attribute__((vector_size(16)));
};
template <>
struct LaneTypes<8> {
  using Lanes = float __attribute__((vector_size(32)));
  using LaneMask = std::int32_t __attribute__((vector_size(32)));
};

// The eight-lane helpers and the group's loop are only ever inlined into the AVX2 function, and
// they call no function that takes or returns a vector (std::bit_cast would be one: the builtin
// is used instead), so no call passes eight lanes by the baseline ABI that the warning is about.
// (Templates are instantiated at the end of the file, where the warning would be given: it stays
// off to there.)
#pragma GCC diagnostic ignored "-Wpsabi"
template <std::size_t kWidth>
struct LaneOps {
  using Lanes = typename LaneTypes<kWidth>::Lanes;
  using LaneMask = typename LaneTypes<kWidth>::LaneMask;
  static constexpr std::size_t kLanes = kWidth;

  [[gnu::always_inline]] static Lanes load(const float* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
  }
  [[gnu::always_inline]] static void store(float* p, Lanes v) { std::memcpy(p, &v, sizeof v); }
  // Lane by lane, so that a -0.0 stays -0.0.
  [[gnu::always_inline]] static Lanes splat(float x) {
    Lanes v;
    for (std::size_t k = 0; k < kWidth; ++k) v[k] = x;
    return v;
  }
  [[gnu::always_inline]] static Lanes abs(Lanes v) {
    return __builtin_bit_cast(Lanes, __builtin_bit_cast(LaneMask, v) & 0x7fffffff);
  }
};

// The widest lanes any group is padded for.
constexpr std::size_t kMaxLanes = 8;

// Pair exponentials computed in one batch: many rows' worth in small groups, where one row's few
// pairs would leave the batch mostly waiting on its own latency.
constexpr std::size_t kListedBatch = 2048;

// Lists, for each row i of a group, the rows after it whose pair with it has to be computed:
// partner[k] for k in scratch.partner_begin[i] .. partner_end[i] - 1, in increasing order. With
// whole labels below the gain table's size (graded relevance), these are the rows of another
// label, cut from one list per label present; otherwise every later row. Returns partner.
const std::uint32_t* list_partners(std::span<const float> labels, RankingScratch& scratch) {
  const std::size_t rows = labels.size();
  scratch.partner_begin.resize(rows);
  scratch.partner_end.resize(rows);
  scratch.label_index.resize(rows);
  bool whole = true;
  for (std::size_t i = 0; i < rows; ++i) {
    const std::size_t index = detail::gain_table_index(labels[i]);
    whole &= index < detail::kGainTableLabels;
    scratch.label_index[i] = static_cast<std::uint32_t>(index % detail::kGainTableLabels);
  }
  std::vector<std::uint32_t>& partner = scratch.partners;
  if (!whole) {
    partner.resize(rows);
    for (std::size_t i = 0; i < rows; ++i) {
      partner[i] = static_cast<std::uint32_t>(i);
      scratch.partner_begin[i] = static_cast<std::uint32_t>(i + 1);
      scratch.partner_end[i] = static_cast<std::uint32_t>(rows);
    }
    return partner.data();
  }
  const std::uint32_t* const index = scratch.label_index.data();
  bool present[detail::kGainTableLabels] = {};
  for (std::size_t i = 0; i < rows; ++i) present[index[i]] = true;
  std::size_t present_count = 0;
  for (const bool p : present) present_count += p ? 1 : 0;
  // Each label's list holds fewer than `rows` rows, as the label has a row of its own; the write
  // that does not advance lands one place past the list.
  partner.resize(rows * present_count + 1);
  std::uint32_t list_begin[detail::kGainTableLabels] = {};
  std::uint32_t list_end[detail::kGainTableLabels] = {};
  std::uint32_t* const out = partner.data();
  std::uint32_t position = 0;
  for (std::uint32_t label = 0; label < detail::kGainTableLabels; ++label) {
    if (!present[label]) continue;
    list_begin[label] = position;
    for (std::size_t j = 0; j < rows; ++j) {
      out[position] = static_cast<std::uint32_t>(j);
      position += index[j] != label ? 1u : 0u;
    }
    list_end[label] = position;
  }
  // Row i's label list holds i + 1 - (rows up to i of that label) rows up to i: the rest follow it.
  std::uint32_t seen[detail::kGainTableLabels] = {};
  for (std::size_t i = 0; i < rows; ++i) {
    const std::uint32_t label = index[i];
    ++seen[label];
    scratch.partner_begin[i] = list_begin[label] + static_cast<std::uint32_t>(i + 1) - seen[label];
    scratch.partner_end[i] = list_end[label];
  }
  return partner.data();
}

// The lambdas of one group with a positive ideal DCG, added into its rows `group_acc` (zeroed).
// Row i's pairs with the rows after it take three passes, none of which branches on the labels:
// the exponentials of the pairs listed by list_partners (taken ahead, for several rows at once),
// then every pair's terms a vector of lanes at a time, then row i's own sums over its listed
// pairs, in pair order. The rows after i receive their terms in the order of i, as row i does, so
// every sum sees the same additions in the same order as a pair-by-pair loop. A pair of equal
// labels gives zeros where that loop skips it (its lanes ignore whatever exponential they find):
// a sum that starts at +0 never holds -0, so adding a zero leaves it as it is.
template <std::size_t kWidth>
[[gnu::always_inline]] inline void accumulate_group_lambdas_in(std::span<const float> labels,
                                                               std::span<const float> scores, float inv_idcg,
                                                               RankingScratch& scratch,
                                                               std::span<GradientPair> group_acc) {
  using Ops = LaneOps<kWidth>;
  using Lanes = typename Ops::Lanes;
  using LaneMask = typename Ops::LaneMask;
  constexpr std::size_t kLanes = Ops::kLanes;
  const std::size_t rows = labels.size();
  // Padded to whole lanes past the last row; the padding's results are never read.
  const std::size_t padded = (rows + kMaxLanes - 1) / kMaxLanes * kMaxLanes + kMaxLanes;
  auto padded_copy = [padded](std::vector<float>& buffer, const float* values, std::size_t count) {
    buffer.assign(padded, 0.0f);
    std::copy(values, values + count, buffer.begin());
    return buffer.data();
  };
  const float* const label = padded_copy(scratch.pair_label, labels.data(), rows);
  const float* const score = padded_copy(scratch.pair_score, scores.data(), rows);
  const float* const gain = padded_copy(scratch.pair_gain, scratch.gain.data(), rows);
  const float* const discount = padded_copy(scratch.pair_discount, scratch.discount.data(), rows);
  float* const pair_exp = padded_copy(scratch.pair_exp, nullptr, 0);
  float* const pair_grad = padded_copy(scratch.pair_grad, nullptr, 0);
  float* const pair_hess = padded_copy(scratch.pair_hess, nullptr, 0);
  float* const acc_grad = padded_copy(scratch.acc_grad, nullptr, 0);
  float* const acc_hess = padded_copy(scratch.acc_hess, nullptr, 0);
  const Lanes zero = Ops::splat(0.0f);
  const Lanes one = Ops::splat(1.0f);
  const Lanes inv = Ops::splat(inv_idcg);
  const std::uint32_t* const partner = list_partners(labels, scratch);
  const std::uint32_t* const partners_begin_of = scratch.partner_begin.data();
  const std::uint32_t* const partners_end_of = scratch.partner_end.data();
  // The listed pairs' exponentials are taken ahead, in list order, of as many rows at once as
  // kListedBatch holds (of one row at least), in one batch: rows i .. batch_end - 1 have theirs
  // in listed_exp from `next_listed` on.
  scratch.listed_exp.resize(std::max(kListedBatch, rows));
  float* const listed_exp = scratch.listed_exp.data();
  std::size_t batch_end = 0;
  std::size_t next_listed = 0;
  for (std::size_t i = 0; i < rows; ++i) {
    const float score_i = score[i];
    const std::uint32_t partners_begin = partners_begin_of[i];
    const std::uint32_t partners_end = partners_end_of[i];
    if (i == batch_end) {
      std::size_t count = 0;
      do {
        const float score_r = score[batch_end];
        for (std::uint32_t k = partners_begin_of[batch_end]; k < partners_end_of[batch_end]; ++k) {
          listed_exp[count++] = -std::fabs(score_r - score[partner[k]]);
        }
        ++batch_end;
      } while (batch_end < rows &&
               count + (partners_end_of[batch_end] - partners_begin_of[batch_end]) <= kListedBatch);
      const std::span<float> batch(listed_exp, count);
      support::exp_batch(batch, batch);
      next_listed = 0;
    }
    for (std::uint32_t k = partners_begin; k < partners_end; ++k) pair_exp[partner[k]] = listed_exp[next_listed++];
    const Lanes label_i = Ops::splat(label[i]);
    const Lanes score_v = Ops::splat(score_i);
    const Lanes gain_i = Ops::splat(gain[i]);
    const Lanes discount_i = Ops::splat(discount[i]);
    for (std::size_t j = i + 1; j < rows; j += kLanes) {
      const Lanes label_j = Ops::load(label + j);
      const Lanes score_j = Ops::load(score + j);
      const LaneMask differ = label_i != label_j;
      const LaneMask i_better = label_i > label_j;
      // The better row leads by x; 1 / (1 + exp(x)) as pair_weight forms it.
      const Lanes x = i_better ? score_v - score_j : score_j - score_v;
      const Lanes e = Ops::load(pair_exp + j);
      const Lanes rho = (x <= zero ? one : e) / (one + e);
      // swap_delta: both orders of a swap give the same product, the differences only change sign.
      const Lanes delta = inv * Ops::abs((gain_i - Ops::load(gain + j)) * (discount_i - Ops::load(discount + j)));
      const Lanes step = rho * delta;
      const Lanes curvature = (rho * (one - rho)) * delta;
      const Lanes to_i = differ ? (i_better ? -step : step) : zero;
      const Lanes to_j = differ ? (i_better ? step : -step) : zero;
      const Lanes hess = differ ? curvature : zero;
      Ops::store(pair_grad + j, to_i);
      Ops::store(pair_hess + j, hess);
      Ops::store(acc_grad + j, Ops::load(acc_grad + j) + to_j);
      Ops::store(acc_hess + j, Ops::load(acc_hess + j) + hess);
    }
    // The better row of a pair gives up the step and the other takes it (x - s equals x + -s).
    float grad_i = acc_grad[i];
    float hess_i = acc_hess[i];
    for (std::uint32_t k = partners_begin; k < partners_end; ++k) {
      const std::uint32_t j = partner[k];
      grad_i += pair_grad[j];
      hess_i += pair_hess[j];
    }
    acc_grad[i] = grad_i;
    acc_hess[i] = hess_i;
  }
  for (std::size_t i = 0; i < rows; ++i) group_acc[i] = GradientPair{acc_grad[i], acc_hess[i]};
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) void accumulate_group_lambdas_avx2(std::span<const float> labels,
                                                                  std::span<const float> scores, float inv_idcg,
                                                                  RankingScratch& scratch,
                                                                  std::span<GradientPair> group_acc) {
  accumulate_group_lambdas_in<8>(labels, scores, inv_idcg, scratch, group_acc);
}
#endif

using IdealDcgCache = LambdaMARTObjective::IdealDcgCache;

// The group's ideal DCG, from `cache` (sized for these labels, or null) when it holds the
// group's labels, else computed (and kept there).
float group_ideal_dcg(std::span<const float> labels, std::size_t begin, std::size_t group, IdealDcgCache* cache,
                      std::vector<float>& sorted_scratch) {
  if (cache == nullptr) return ideal_dcg(labels, labels.size(), sorted_scratch);
  float* const kept = cache->labels.data() + begin;
  if (cache->known[group] != 0 && std::memcmp(kept, labels.data(), labels.size() * sizeof(float)) == 0) {
    return cache->ideal_dcg[group];
  }
  const float idcg = ideal_dcg(labels, labels.size(), sorted_scratch);
  std::copy(labels.begin(), labels.end(), kept);
  cache->ideal_dcg[group] = idcg;
  cache->known[group] = 1;
  return idcg;
}

// Adds the lambdas of groups first_group .. last_group - 1 into their rows of `acc`. With
// `group_ndcg`, also writes each group's NDCG at the scores into group_ndcg[g], the float
// ndcg_for_group gives: the same ideal DCG and score order, and its DCG summed in rank order from
// the same gains and discounts.
void accumulate_lambdas(std::span<const std::size_t> boundaries, std::size_t first_group, std::size_t last_group,
                        std::span<const float> scores, std::span<const float> labels, std::span<GradientPair> acc,
                        float* group_ndcg, IdealDcgCache* cache) {
  RankingScratch scratch;
  for (std::size_t g = first_group; g < last_group; ++g) {
    const std::size_t begin = boundaries[g];
    const std::size_t rows = boundaries[g + 1] - begin;
    const std::span<const float> group_labels = labels.subspan(begin, rows);
    const std::span<const float> group_scores = scores.subspan(begin, rows);
    const float idcg = group_ideal_dcg(group_labels, begin, g, cache, scratch.sorted_labels);
    if (idcg <= 0.0f) {
      if (group_ndcg != nullptr) group_ndcg[g] = 1.0f;
      continue;
    }
    const float inv_idcg = 1.0f / idcg;
    rank_by_score(group_scores, scratch);
    fill_gains(group_labels, scratch);
    fill_discounts(scratch);
    if (group_ndcg != nullptr) {
      float dcg = -0.0f;
      for (std::size_t r = 0; r < rows; ++r) dcg += scratch.discount_by_rank[r] * scratch.gain[scratch.order[r]];
      group_ndcg[g] = dcg / idcg;
    }
    detail::accumulate_group_lambdas(detail::lambda_lanes(), group_labels, group_scores, inv_idcg, scratch,
                                     acc.subspan(begin, rows));
  }
}

// The cache, held and sized for `labels` and the groups of `boundaries`, while the lock lives;
// null when another call holds it, or when the call is refused (the checks of the gradient pass
// then report why).
struct HeldCache {
  std::unique_lock<std::mutex> lock;
  IdealDcgCache* cache = nullptr;

  HeldCache(IdealDcgCache& shared, std::span<const float> labels, std::span<const std::size_t> boundaries)
      : lock(shared.in_use, std::try_to_lock) {
    if (!lock.owns_lock() || boundaries.empty() || boundaries.back() != labels.size()) return;
    const std::size_t groups = boundaries.size() - 1;
    if (shared.labels.size() != labels.size() || shared.known.size() != groups) {
      shared.labels.assign(labels.size(), 0.0f);
      shared.ideal_dcg.assign(groups, 0.0f);
      shared.known.assign(groups, 0);
    }
    cache = &shared;
  }
};

}  // namespace

std::vector<GradientPair> LambdaMARTObjective::compute_gradients(std::span<const float> predictions,
                                                                 std::span<const float> targets,
                                                                 const Weights& weights) const {
  std::vector<GradientPair> pairs;
  compute_gradients_into(predictions, targets, weights, pairs);
  return pairs;
}

float LambdaMARTObjective::initial_prediction(std::span<const float>, const Weights&) const { return 0.0f; }

void LambdaMARTObjective::compute_gradients_into(std::span<const float> predictions, std::span<const float> targets,
                                                 const Weights&, std::vector<GradientPair>& out) const {
  const HeldCache held(*ideal_dcgs_, targets, layout_.train_boundaries);
  ranking_gradients_into(predictions, targets, layout_.train_boundaries, out, kRowsPerThread,
                         [&](std::size_t first_group, std::size_t last_group, std::span<GradientPair> acc) {
                           accumulate_lambdas(layout_.train_boundaries, first_group, last_group, predictions, targets,
                                              acc, nullptr, held.cache);
                         });
}

float LambdaMARTObjective::compute_gradients_and_loss_into(std::span<const float> predictions,
                                                           std::span<const float> targets, const Weights&,
                                                           std::vector<GradientPair>& out) const {
  const std::span<const std::size_t> boundaries = layout_.train_boundaries;
  // The groups' NDCGs land by group from whichever thread ranks the group; their sum is then
  // folded in group order, as mean_ndcg_loss folds it.
  std::vector<float> group_ndcg(boundaries.empty() ? 0 : boundaries.size() - 1);
  const HeldCache held(*ideal_dcgs_, targets, boundaries);
  ranking_gradients_into(predictions, targets, boundaries, out, kRowsPerThread,
                         [&](std::size_t first_group, std::size_t last_group, std::span<GradientPair> acc) {
                           accumulate_lambdas(boundaries, first_group, last_group, predictions, targets, acc,
                                              group_ndcg.data(), held.cache);
                         });
  return ndcg_loss_from_groups(group_ndcg);
}

float LambdaMARTObjective::loss(std::span<const float> predictions, std::span<const float> targets,
                                const Weights& weights) const {
  return loss_with_boundaries(predictions, targets, weights, layout_.boundaries_for_len(predictions.size()));
}

float LambdaMARTObjective::loss_with_boundaries(std::span<const float> predictions, std::span<const float> targets,
                                                const Weights&, std::span<const std::size_t> boundaries) const {
  return mean_ndcg_loss(predictions, targets, boundaries);
}

namespace detail {

std::size_t lambda_lanes() {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return 8;
#endif
  return 4;
}

void accumulate_group_lambdas(std::size_t lanes, std::span<const float> labels, std::span<const float> scores,
                              float inv_idcg, RankingScratch& scratch, std::span<GradientPair> group_acc) {
  support::invariant(labels.size() == scores.size() && labels.size() == group_acc.size(),
                     "a group's labels, scores and sums have one length");
#if defined(__x86_64__) && defined(__GNUC__)
  if (lanes == 8 && lambda_lanes() == 8) {
    accumulate_group_lambdas_avx2(labels, scores, inv_idcg, scratch, group_acc);
    return;
  }
#endif
  accumulate_group_lambdas_in<4>(labels, scores, inv_idcg, scratch, group_acc);
}

}  // namespace detail
}  // namespace kestrune::engine::objectives

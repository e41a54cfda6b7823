#include "engine/objectives/lambdamart.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "engine/objectives/float_lanes.hpp"
#include "engine/objectives/ndcg.hpp"
#include "support/cpu_features.hpp"
#include "support/exp_lanes.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::objectives {
namespace {

// Pairwise work on every row, with a sort per group: a thread repays its wake-up from a couple of
// thousand rows on.
constexpr std::size_t kRowsPerThread = 2048;

// The pair terms are computed a vector of lanes at a time: four with the baseline instruction set,
// eight where the processor has AVX2 (accumulate_group_lambdas_avx2 below: the same operations on
// each lane, so the same floats).
template <std::size_t kWidth>
struct LaneOps {
  using Lanes = typename FloatLanes<kWidth>::Lanes;
  using LaneMask = typename FloatLanes<kWidth>::LaneMask;
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

// A group's rows copied into the scratch, padded with zeros past the last row to whole lanes and
// a vector more, so that loads and stores of whole vectors stay inside; the padding's results are
// never read.
struct PaddedGroup {
  const float* label;
  const float* score;
  const float* gain;
  const float* discount;
  float* pair_grad;
  float* pair_hess;
  float* acc_grad;
  float* acc_hess;
};

PaddedGroup padded_group(std::span<const float> labels, std::span<const float> scores, RankingScratch& scratch) {
  const std::size_t rows = labels.size();
  const std::size_t padded = (rows + kMaxLanes - 1) / kMaxLanes * kMaxLanes + kMaxLanes;
  auto padded_copy = [padded](std::vector<float>& buffer, const float* values, std::size_t count) {
    buffer.assign(padded, 0.0f);
    std::copy(values, values + count, buffer.begin());
    return buffer.data();
  };
  return PaddedGroup{padded_copy(scratch.pair_label, labels.data(), rows),
                     padded_copy(scratch.pair_score, scores.data(), rows),
                     padded_copy(scratch.pair_gain, scratch.gain.data(), rows),
                     padded_copy(scratch.pair_discount, scratch.discount.data(), rows),
                     padded_copy(scratch.pair_grad, nullptr, 0),
                     padded_copy(scratch.pair_hess, nullptr, 0),
                     padded_copy(scratch.acc_grad, nullptr, 0),
                     padded_copy(scratch.acc_hess, nullptr, 0)};
}

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
  const auto [label, score, gain, discount, pair_grad, pair_hess, acc_grad, acc_hess] =
      padded_group(labels, scores, scratch);
  // Each row's listed pairs' exponentials, by the partner's position.
  scratch.pair_exp.assign(scratch.pair_grad.size(), 0.0f);
  float* const pair_exp = scratch.pair_exp.data();
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
// Eight pairs at a time where the processor has AVX2, the pairs of different labels packed
// together rather than listed: for each mask of eight lanes, `pack` moves the chosen lanes, in
// order, to the front of a vector and `unpack` sends the front lanes back to the chosen ones (the
// others get whatever lane 0 holds).
struct LaneMoves {
  std::uint32_t pack[256][8];
  std::uint32_t unpack[256][8];
};

constexpr LaneMoves make_lane_moves() {
  LaneMoves moves{};
  for (std::uint32_t mask = 0; mask < 256; ++mask) {
    std::uint32_t chosen = 0;
    for (std::uint32_t lane = 0; lane < 8; ++lane) {
      if (((mask >> lane) & 1u) == 0) continue;
      moves.pack[mask][chosen] = lane;
      moves.unpack[mask][lane] = chosen;
      ++chosen;
    }
  }
  return moves;
}

alignas(64) constexpr LaneMoves kLaneMoves = make_lane_moves();

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

// The lanes j .. j + 7 of row `label_i`'s pairs that join rows of different labels inside the group.
__attribute__((target("avx2,popcnt"), always_inline)) inline std::uint32_t differing_lanes(__m256 label_i,
                                                                                         const float* label,
                                                                                         std::size_t j,
                                                                                         std::size_t rows) {
  std::uint32_t mask = static_cast<std::uint32_t>(
      _mm256_movemask_ps(_mm256_cmp_ps(label_i, _mm256_loadu_ps(label + j), _CMP_NEQ_UQ)));
  if (rows - j < 8) mask &= (1u << (rows - j)) - 1u;
  return mask;
}

__attribute__((target("avx2,popcnt"), always_inline)) inline __m256 moved_lanes(__m256 v,
                                                                               const std::uint32_t (&moves)[8]) {
  return _mm256_permutevar8x32_ps(v, _mm256_load_si256(reinterpret_cast<const __m256i*>(moves)));
}

// The lambdas of one group as accumulate_group_lambdas_in gives them, bit for bit. Row i's pairs
// with later rows are taken eight at a time; only those of different labels count, and their
// lanes are packed: the exponentials' arguments, taken ahead for several rows in one batch as
// there, and row i's own terms, which it then sums in pair order. Equal labels' lanes carry zeros
// into the later rows' sums, as there; row i's own sum leaves them out even where that loop adds
// them (labels that are not whole), which is the same sum, as a sum that starts at +0 never holds
// -0 and adding a zero leaves it as it is.
__attribute__((target("avx2,popcnt"))) void accumulate_group_lambdas_avx2(std::span<const float> labels,
                                                                          std::span<const float> scores,
                                                                          float inv_idcg, RankingScratch& scratch,
                                                                          std::span<GradientPair> group_acc) {
  const std::size_t rows = labels.size();
  // row_grad and row_hess take row i's packed terms: fewer than `rows`, stored a whole vector at
  // a time.
  const auto [label, score, gain, discount, row_grad, row_hess, acc_grad, acc_hess] =
      padded_group(labels, scores, scratch);
  scratch.listed_exp.resize(std::max(kListedBatch, rows) + kMaxLanes);
  float* const packed_exp = scratch.listed_exp.data();
  const __m256 zero = _mm256_setzero_ps();
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 inv = _mm256_set1_ps(inv_idcg);
  const __m256 sign = _mm256_set1_ps(-0.0f);
  // Rows before batch_end have their pairs' exponentials in packed_exp, from next_exp on.
  std::size_t batch_end = 0;
  std::size_t next_exp = 0;
  for (std::size_t i = 0; i < rows; ++i) {
    if (i == batch_end) {
      std::size_t count = 0;
      do {
        const __m256 label_r = _mm256_set1_ps(label[batch_end]);
        const __m256 score_r = _mm256_set1_ps(score[batch_end]);
        for (std::size_t j = batch_end + 1; j < rows; j += 8) {
          const std::uint32_t mask = differing_lanes(label_r, label, j, rows);
          // -|s_r - s_j|, the sign bit set as -fabs sets it (NaN included).
          const __m256 argument = _mm256_or_ps(_mm256_sub_ps(score_r, _mm256_loadu_ps(score + j)), sign);
          _mm256_storeu_ps(packed_exp + count, moved_lanes(argument, kLaneMoves.pack[mask]));
          count += static_cast<std::size_t>(__builtin_popcount(mask));
        }
        ++batch_end;
      } while (batch_end < rows && count + (rows - batch_end - 1) <= kListedBatch);
      const std::span<float> batch(packed_exp, count);
      support::exp_batch(batch, batch);
      next_exp = 0;
    }
    const __m256 label_i = _mm256_set1_ps(label[i]);
    const __m256 score_v = _mm256_set1_ps(score[i]);
    const __m256 gain_i = _mm256_set1_ps(gain[i]);
    const __m256 discount_i = _mm256_set1_ps(discount[i]);
    std::size_t terms = 0;
    for (std::size_t j = i + 1; j < rows; j += 8) {
      const std::uint32_t mask = differing_lanes(label_i, label, j, rows);
      const __m256 label_j = _mm256_loadu_ps(label + j);
      const __m256 score_j = _mm256_loadu_ps(score + j);
      const __m256 differ = _mm256_cmp_ps(label_i, label_j, _CMP_NEQ_UQ);
      const __m256 i_better = _mm256_cmp_ps(label_i, label_j, _CMP_GT_OQ);
      // The better row leads by x; 1 / (1 + exp(x)) as pair_weight forms it.
      const __m256 x = _mm256_blendv_ps(_mm256_sub_ps(score_j, score_v), _mm256_sub_ps(score_v, score_j), i_better);
      const __m256 e = moved_lanes(_mm256_loadu_ps(packed_exp + next_exp), kLaneMoves.unpack[mask]);
      next_exp += static_cast<std::size_t>(__builtin_popcount(mask));
      const __m256 numerator = _mm256_blendv_ps(e, one, _mm256_cmp_ps(x, zero, _CMP_LE_OQ));
      const __m256 rho = _mm256_div_ps(numerator, _mm256_add_ps(one, e));
      // swap_delta: both orders of a swap give the same product, the differences only change sign.
      const __m256 delta = _mm256_mul_ps(
          inv, _mm256_andnot_ps(sign, _mm256_mul_ps(_mm256_sub_ps(gain_i, _mm256_loadu_ps(gain + j)),
                                                    _mm256_sub_ps(discount_i, _mm256_loadu_ps(discount + j)))));
      const __m256 step = _mm256_mul_ps(rho, delta);
      const __m256 curvature = _mm256_mul_ps(_mm256_mul_ps(rho, _mm256_sub_ps(one, rho)), delta);
      const __m256 minus_step = _mm256_xor_ps(step, sign);
      const __m256 to_i = _mm256_and_ps(differ, _mm256_blendv_ps(step, minus_step, i_better));
      const __m256 to_j = _mm256_and_ps(differ, _mm256_blendv_ps(minus_step, step, i_better));
      const __m256 hess = _mm256_and_ps(differ, curvature);
      _mm256_storeu_ps(acc_grad + j, _mm256_add_ps(_mm256_loadu_ps(acc_grad + j), to_j));
      _mm256_storeu_ps(acc_hess + j, _mm256_add_ps(_mm256_loadu_ps(acc_hess + j), hess));
      _mm256_storeu_ps(row_grad + terms, moved_lanes(to_i, kLaneMoves.pack[mask]));
      _mm256_storeu_ps(row_hess + terms, moved_lanes(hess, kLaneMoves.pack[mask]));
      terms += static_cast<std::size_t>(__builtin_popcount(mask));
    }
    // The better row of a pair gives up the step and the other takes it (x - s equals x + -s).
    float grad_i = acc_grad[i];
    float hess_i = acc_hess[i];
    for (std::size_t k = 0; k < terms; ++k) {
      grad_i += row_grad[k];
      hess_i += row_hess[k];
    }
    acc_grad[i] = grad_i;
    acc_hess[i] = hess_i;
  }
  for (std::size_t i = 0; i < rows; ++i) group_acc[i] = GradientPair{acc_grad[i], acc_hess[i]};
}

#pragma GCC diagnostic pop
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
  return support::cpu_has_avx2() ? 8 : 4;
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

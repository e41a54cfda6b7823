#include "backend_cpu/split_search.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <limits>
#include <vector>

#include "backend_cpu/categorical_split.hpp"
#include "backend_cpu/factor_penalty.hpp"
#include "backend_cpu/morph_gain.hpp"
#include "backend_cpu/split_gain.hpp"
#include "core/leaf.hpp"
#include "engine/error.hpp"
#include "parallel/parallel.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu {

namespace {

using core::HistogramBin;
using engine::SplitCandidate;
using engine::SplitSelectionOptions;

constexpr float kEpsilon = core::kLeafDenominatorEpsilon;

// What both threshold scans share: the totals, the missing bin's statistics and the scan limit.
struct ScanSetup {
  HistogramBin total;        // every bin, the missing one included
  HistogramBin missing;      // the missing bin, zero when it lies outside the histogram
  HistogramBin non_missing;  // total minus missing, the count floored at 0
  std::size_t limit = 0;     // thresholds 0 .. limit - 1
};

std::optional<ScanSetup> prepare_scan(std::span<const HistogramBin> bins, const SplitSelectionOptions& options) {
  if (bins.size() < 2) return std::nullopt;
  ScanSetup setup;
  for (const HistogramBin& bin : bins) add_bin(setup.total, bin);
  if (setup.total.hess_sum <= options.min_child_hess) return std::nullopt;
  const std::size_t m = options.missing_bin;
  if (m < bins.size()) setup.missing = bins[m];
  setup.non_missing = HistogramBin{setup.total.grad_sum - setup.missing.grad_sum,
                                   setup.total.hess_sum - setup.missing.hess_sum,
                                   setup.total.grad_sq_sum - setup.missing.grad_sq_sum,
                                   saturating_count_sub(setup.total.count, setup.missing.count)};
  setup.limit = std::min(m, bins.size());
  if (setup.limit == 0) return std::nullopt;
  return setup;
}

// The two children of threshold t with the missing bin on either side, from the prefix sums.
HistogramBin missing_left_left(const ScanSetup& s, const HistogramBin& prefix) {
  return {s.missing.grad_sum + prefix.grad_sum, s.missing.hess_sum + prefix.hess_sum,
          s.missing.grad_sq_sum + prefix.grad_sq_sum, prefix.count + s.missing.count};
}
HistogramBin missing_left_right(const ScanSetup& s, const HistogramBin& prefix) {
  return {s.non_missing.grad_sum - prefix.grad_sum, s.non_missing.hess_sum - prefix.hess_sum,
          s.non_missing.grad_sq_sum - prefix.grad_sq_sum, saturating_count_sub(s.non_missing.count, prefix.count)};
}
HistogramBin missing_right_right(const ScanSetup& s, const HistogramBin& prefix) {
  return {s.missing.grad_sum + (s.non_missing.grad_sum - prefix.grad_sum),
          s.missing.hess_sum + (s.non_missing.hess_sum - prefix.hess_sum),
          s.missing.grad_sq_sum + (s.non_missing.grad_sq_sum - prefix.grad_sq_sum),
          saturating_count_sub(s.non_missing.count, prefix.count) + s.missing.count};
}

// A threshold whose missing-right left child would take every non-missing row: at the last
// threshold both of its candidates are skipped.
bool skipped_threshold(const ScanSetup& s, std::size_t t, const HistogramBin& prefix) {
  return t + 1 == s.limit && prefix.count == s.non_missing.count;
}

SplitCandidate make_candidate(std::uint32_t node_id, std::uint32_t feature_index, float gain, std::size_t threshold,
                              bool default_left, const HistogramBin& left, const HistogramBin& right) {
  SplitCandidate candidate;
  candidate.left_stats = left;
  candidate.right_stats = right;
  candidate.node_id = node_id;
  candidate.feature_index = feature_index;
  candidate.gain = gain;
  // The scan limit is at most the missing bin's u16 value or the bin count; thresholds fit
  // 16 bits for every histogram of at most 65536 bins.
  support::invariant(threshold <= 0xFFFF, "split threshold does not fit 16 bits");
  candidate.threshold_bin = static_cast<std::uint16_t>(threshold);
  candidate.default_left = default_left;
  candidate.is_categorical = false;
  return candidate;
}

// --- fast scan -------------------------------------------------------------------------------

// Thresholds scored side by side: their prefix sums are laid out in lanes, and every operation
// of the gain acts on all lanes at once (plain IEEE float32 per lane, so each lane's bits are
// those of the scalar formula).
constexpr std::size_t kFastLanes = 4;
using FloatLanes = float __attribute__((vector_size(kFastLanes * sizeof(float))));
using MaskLanes = std::int32_t __attribute__((vector_size(kFastLanes * sizeof(std::int32_t))));

// What every candidate of one histogram's fast scan shares.
struct FastScanConstants {
  float l1;
  float l2;
  float min_child_hess;
  float min_leaf_magnitude;
  float min_rows;
  float parent_term_doubled;
};

// The soft threshold of the fast scan: applied only for a positive L1 term (a NaN sum gives 0).
float fast_effective_gradient(float grad_sum, float l1) {
  if (!(l1 > 0.0f)) return grad_sum;
  if (grad_sum > l1) return grad_sum - l1;
  if (grad_sum < -l1) return grad_sum + l1;
  return 0.0f;
}

FloatLanes fast_effective_gradient(FloatLanes grad_sum, float l1) {
  if (!(l1 > 0.0f)) return grad_sum;
  const FloatLanes zero = {};
  return grad_sum > l1 ? grad_sum - l1 : (grad_sum < -l1 ? grad_sum + l1 : zero);
}

FloatLanes absolute(FloatLanes x) {
  return std::bit_cast<FloatLanes>(std::bit_cast<MaskLanes>(x) & 0x7FFFFFFF);
}

// The gains of one candidate per lane, minus infinity where it is refused. Child counts are
// float32 values (a child is empty when its count is not above 0).
FloatLanes fast_gains(FloatLanes left_grad, FloatLanes left_hess, FloatLanes left_count, FloatLanes right_grad,
                      FloatLanes right_hess, FloatLanes right_count, const FastScanConstants& k) {
  const FloatLanes gl = fast_effective_gradient(left_grad, k.l1);
  const FloatLanes gr = fast_effective_gradient(right_grad, k.l1);
  const FloatLanes den_l = (k.l2 + left_hess) + kEpsilon;
  const FloatLanes den_r = (k.l2 + right_hess) + kEpsilon;
  const FloatLanes term_l = (gl * (gl * 0.5f)) / den_l;
  const FloatLanes term_r = (gr * (gr * 0.5f)) / den_r;
  const FloatLanes gain = ((term_l + term_l) + (term_r + term_r)) - k.parent_term_doubled;
  MaskLanes refused = (left_hess <= k.min_child_hess) | (right_hess <= k.min_child_hess) | ~(left_count > 0.0f) |
                      ~(right_count > 0.0f) | (left_count < k.min_rows) | (right_count < k.min_rows);
  if (k.min_leaf_magnitude > 0.0f) {
    refused |= (absolute(gl) / den_l < k.min_leaf_magnitude) & (absolute(gr) / den_r < k.min_leaf_magnitude);
  }
  const FloatLanes minus_infinity = FloatLanes{} - std::numeric_limits<float>::infinity();
  return refused ? minus_infinity : gain;
}

// The first of the greatest gains above a start of 0 over one kind of candidate (missing left, or
// missing right) in ascending threshold order.
struct FastBest {
  float gain = 0.0f;
  std::size_t threshold = 0;
  bool found = false;

  void offer(FloatLanes gains, std::size_t base, std::size_t lanes) {
    for (std::size_t i = 0; i < lanes; ++i) {
      if (gains[i] > gain) {
        gain = gains[i];
        threshold = base + i;
        found = true;
      }
    }
  }
};

// --- general scan ----------------------------------------------------------------------------

// One histogram's best candidate: the category scan for a feature of the categorical list (its
// first entry decides the category count), else the threshold scan its options call for. The
// morph gain is scored by the general threshold scan only.
std::optional<SplitCandidate> search_histogram(const core::FeatureHistogram& histogram, std::uint32_t node_id,
                                               const SplitSelectionOptions& options,
                                               std::span<const engine::CategoricalFeature> categorical_features,
                                               const engine::MorphContext* morph_context,
                                               const engine::FactorSplitContext* factor_context) {
  for (const engine::CategoricalFeature& feature : categorical_features) {
    if (feature.first == histogram.feature_index) {
      return best_split_for_categorical_feature_inner(histogram, node_id, options, feature.second, morph_context,
                                                      factor_context);
    }
  }
  if (morph_context == nullptr && factor_context == nullptr && !options.gradient_noise_strength.has_value()) {
    return best_numeric_split_fast(histogram, node_id, options);
  }
  return best_split_for_feature_inner(histogram, node_id, options, morph_context, factor_context);
}

}  // namespace

// Each histogram is searched on its own (on the pool for large bundles); the winner is then
// picked serially in bundle order, so ties and unordered weighted gains resolve exactly as in a
// serial scan whatever the thread count.
std::optional<SplitCandidate> best_split_with_options_internal(
    const core::HistogramBundle& bundle, const SplitSelectionOptions& options, std::span<const float> feature_weights,
    std::span<const engine::CategoricalFeature> categorical_features, const engine::MorphContext* morph_context,
    const engine::FactorSplitContext* factor_context) {
  const std::size_t count = bundle.histograms.size();
  std::size_t bins = 0;
  for (const core::FeatureHistogram& histogram : bundle.histograms) bins += histogram.bins.size();
  // Under the factor penalty each histogram also passes over the node's rows: a row costs about
  // what a bin of the scan costs, so the rows count as bins when sizing the parallel search.
  if (factor_context != nullptr) bins += count * factor_context->row_indices.size();
  const std::size_t min_parallel = bins >= kParallelSplitBins ? kParallelSplitHistograms : parallel::kAllThreads;
  std::vector<std::optional<SplitCandidate>> candidates = parallel::parallel_map<std::optional<SplitCandidate>>(
      count,
      [&](std::size_t i) {
        return search_histogram(bundle.histograms[i], bundle.node_id, options, categorical_features, morph_context,
                                factor_context);
      },
      min_parallel, bins / kSplitBinsPerThread);
  std::optional<SplitCandidate> best;
  float best_weighted = 0.0f;
  for (std::optional<SplitCandidate>& candidate : candidates) {
    if (!candidate) continue;
    const float weighted = weighted_gain(*candidate, feature_weights);
    if (!best || weighted > best_weighted) {
      best_weighted = weighted;
      best = std::move(candidate);
    }
  }
  return best;
}

float weighted_gain(const SplitCandidate& candidate, std::span<const float> feature_weights) {
  if (candidate.feature_index < feature_weights.size()) return candidate.gain * feature_weights[candidate.feature_index];
  return candidate.gain;
}

std::optional<SplitCandidate> best_numeric_split_fast(const core::FeatureHistogram& histogram, std::uint32_t node_id,
                                                      const SplitSelectionOptions& options) {
  const std::span<const HistogramBin> bins = histogram.bins;
  const std::optional<ScanSetup> setup = prepare_scan(bins, options);
  if (!setup) return std::nullopt;
  const ScanSetup& s = *setup;
  const std::size_t limit = s.limit;

  const float parent_g = fast_effective_gradient(s.total.grad_sum, options.split_l1);
  const float parent_term = (parent_g * (parent_g * 0.5f)) / ((options.split_l2 + s.total.hess_sum) + kEpsilon);
  const FastScanConstants k{options.split_l1,           options.split_l2,
                            options.min_child_hess,     options.min_leaf_magnitude,
                            static_cast<float>(options.min_rows_per_leaf), parent_term + parent_term};
  const float missing_count = static_cast<float>(s.missing.count);
  const float non_missing_count = static_cast<float>(s.non_missing.count);
  // An empty missing bin adds exact zeros: each missing-right candidate then scores the same bits
  // as the missing-left one of its threshold (a sum's zero sign never reaches the gain), and the
  // missing-left candidates all come first and keep ties, so no missing-right one can win.
  const bool missing_empty = s.missing.count == 0 && s.missing.grad_sum == 0.0f && s.missing.hess_sum == 0.0f;

  // Candidate order: every missing-left threshold ascending, then every missing-right one; a later
  // candidate wins only with a strictly greater gain. Tracking the two kinds apart in one pass
  // gives the same winner: a missing-right one wins only when it beats the best missing-left gain.
  FastBest missing_left;
  FastBest missing_right;
  float running_grad = 0.0f;
  float running_hess = 0.0f;
  std::uint32_t running_count = 0;
  for (std::size_t base = 0; base < limit; base += kFastLanes) {
    const std::size_t lanes = std::min(kFastLanes, limit - base);
    FloatLanes grad = {};
    FloatLanes hess = {};
    FloatLanes count = {};
    for (std::size_t i = 0; i < lanes; ++i) {
      const HistogramBin& bin = bins[base + i];
      running_grad += bin.grad_sum;
      running_hess += bin.hess_sum;
      running_count += bin.count;
      grad[i] = running_grad;
      hess[i] = running_hess;
      count[i] = static_cast<float>(running_count);
    }
    // At the last threshold, a prefix holding every non-missing row skips both candidates.
    const bool skip_last = base + lanes == limit && running_count == s.non_missing.count;
    const std::size_t scored = skip_last ? lanes - 1 : lanes;
    missing_left.offer(fast_gains(s.missing.grad_sum + grad, s.missing.hess_sum + hess, count + missing_count,
                                  s.non_missing.grad_sum - grad, s.non_missing.hess_sum - hess,
                                  non_missing_count - count, k),
                       base, scored);
    if (missing_empty) continue;
    missing_right.offer(fast_gains(grad, hess, count, s.missing.grad_sum + (s.non_missing.grad_sum - grad),
                                   s.missing.hess_sum + (s.non_missing.hess_sum - hess),
                                   (non_missing_count - count) + missing_count, k),
                        base, scored);
  }

  const bool default_left = !(missing_right.found && missing_right.gain > missing_left.gain);
  const FastBest& best = default_left ? missing_left : missing_right;
  if (!best.found) return std::nullopt;
  // The winner's prefix, summed again in the scan's order: the same bits.
  HistogramBin p;
  for (std::size_t t = 0; t <= best.threshold; ++t) add_bin(p, bins[t]);
  if (default_left) {
    return make_candidate(node_id, histogram.feature_index, best.gain, best.threshold, true, missing_left_left(s, p),
                          missing_left_right(s, p));
  }
  return make_candidate(node_id, histogram.feature_index, best.gain, best.threshold, false, p,
                        missing_right_right(s, p));
}

std::optional<SplitCandidate> best_split_for_feature_inner(const core::FeatureHistogram& histogram,
                                                           std::uint32_t node_id, const SplitSelectionOptions& options,
                                                           const engine::MorphContext* morph_context,
                                                           const engine::FactorSplitContext* factor_context) {
  const std::span<const HistogramBin> bins = histogram.bins;
  const std::optional<ScanSetup> setup = prepare_scan(bins, options);
  if (!setup) return std::nullopt;
  const ScanSetup& s = *setup;
  const float parent_term = gain_term(s.total, options);
  const float parent_term_doubled = parent_term + parent_term;

  std::optional<FactorSplitScratch> factor;
  if (factor_context != nullptr) {
    factor.emplace(factor_context->exposures.factor_count);
    factor->prepare_numeric_prefix(*factor_context, histogram.feature_index, s.limit, options.missing_bin);
  }

  float best_gain = 0.0f;
  std::optional<SplitCandidate> best;
  HistogramBin prefix;
  for (std::size_t t = 0; t < s.limit; ++t) {
    add_bin(prefix, bins[t]);
    if (factor) factor->advance_numeric_prefix(t);
    if (skipped_threshold(s, t, prefix)) continue;
    for (const bool default_left : {true, false}) {
      const HistogramBin left = default_left ? missing_left_left(s, prefix) : prefix;
      const HistogramBin right = default_left ? missing_left_right(s, prefix) : missing_right_right(s, prefix);
      std::optional<float> gain = morph_context != nullptr
                                      ? morph_candidate_gain(left, right, options, *morph_context)
                                      : candidate_gain(left, right, parent_term_doubled, options);
      if (gain && factor) {
        // A non-finite gain was dropped already, and the penalty is >= 0 or NaN: the difference
        // needs only the finiteness test again.
        *gain -= factor->numeric_prefix_penalty(default_left, factor_context->row_indices.size(),
                                                child_leaf_value(left, options), child_leaf_value(right, options),
                                                factor_context->penalty);
        if (!std::isfinite(*gain)) gain.reset();
      }
      if (gain && *gain > best_gain) {
        best_gain = *gain;
        best = make_candidate(node_id, histogram.feature_index, *gain, t, default_left, left, right);
      }
    }
  }
  return best;
}

std::optional<SplitCandidate> best_split_with_factor_context(
    const core::HistogramBundle& bundle, const SplitSelectionOptions& options, std::span<const float> feature_weights,
    std::span<const engine::CategoricalFeature> categorical_features,
    const engine::FactorSplitContext* factor_context) {
  if (factor_context != nullptr) validate_factor_split_context(*factor_context);
  return best_split_with_options_internal(bundle, options, feature_weights, categorical_features, nullptr,
                                          factor_context);
}

std::optional<SplitCandidate> best_split_morph_with_factor_context(
    const core::HistogramBundle& bundle, const SplitSelectionOptions& options, std::span<const float> feature_weights,
    std::span<const engine::CategoricalFeature> categorical_features, const engine::MorphContext& morph_context,
    const engine::FactorSplitContext* factor_context) {
  if (factor_context != nullptr) validate_factor_split_context(*factor_context);
  return best_split_with_options_internal(bundle, options, feature_weights, categorical_features, &morph_context,
                                          factor_context);
}

}  // namespace kestrune::backend_cpu

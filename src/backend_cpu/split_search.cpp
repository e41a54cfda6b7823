#include "backend_cpu/split_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "backend_cpu/categorical_split.hpp"
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

[[noreturn]] void factor_penalty_not_implemented() {
  throw engine::EngineError::not_implemented("factor split penalty is not implemented yet");
}
[[noreturn]] void morph_not_implemented() {
  throw engine::EngineError::not_implemented("morph split search is not implemented yet");
}

std::uint32_t saturating_sub(std::uint32_t a, std::uint32_t b) { return a > b ? a - b : 0; }

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
  for (const HistogramBin& bin : bins) {
    setup.total.grad_sum += bin.grad_sum;
    setup.total.hess_sum += bin.hess_sum;
    setup.total.grad_sq_sum += bin.grad_sq_sum;
    setup.total.count += bin.count;
  }
  if (setup.total.hess_sum <= options.min_child_hess) return std::nullopt;
  const std::size_t m = options.missing_bin;
  if (m < bins.size()) setup.missing = bins[m];
  setup.non_missing = HistogramBin{setup.total.grad_sum - setup.missing.grad_sum,
                                   setup.total.hess_sum - setup.missing.hess_sum,
                                   setup.total.grad_sq_sum - setup.missing.grad_sq_sum,
                                   saturating_sub(setup.total.count, setup.missing.count)};
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
          s.non_missing.grad_sq_sum - prefix.grad_sq_sum, saturating_sub(s.non_missing.count, prefix.count)};
}
HistogramBin missing_right_right(const ScanSetup& s, const HistogramBin& prefix) {
  return {s.missing.grad_sum + (s.non_missing.grad_sum - prefix.grad_sum),
          s.missing.hess_sum + (s.non_missing.hess_sum - prefix.hess_sum),
          s.missing.grad_sq_sum + (s.non_missing.grad_sq_sum - prefix.grad_sq_sum),
          saturating_sub(s.non_missing.count, prefix.count) + s.missing.count};
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

// The soft threshold of the fast scan: applied only for a positive L1 term.
float fast_effective_gradient(float grad_sum, float l1) {
  if (!(l1 > 0.0f)) return grad_sum;
  if (grad_sum > l1) return grad_sum - l1;
  if (grad_sum < -l1) return grad_sum + l1;
  return 0.0f;
}

struct FastSide {
  float grad;
  float hess;
  float count;  // converted to float32 before any addition
};

float fast_gain(const FastSide& left, const FastSide& right, float parent_term_doubled, float min_rows,
                const SplitSelectionOptions& options) {
  constexpr float kRefused = -std::numeric_limits<float>::infinity();
  if (left.hess <= options.min_child_hess || right.hess <= options.min_child_hess) return kRefused;
  if (!(left.count > 0.0f) || !(right.count > 0.0f)) return kRefused;
  if (left.count < min_rows || right.count < min_rows) return kRefused;
  const float l2 = options.split_l2;
  const float gl = fast_effective_gradient(left.grad, options.split_l1);
  const float gr = fast_effective_gradient(right.grad, options.split_l1);
  const float den_l = (l2 + left.hess) + kEpsilon;
  const float den_r = (l2 + right.hess) + kEpsilon;
  const float magnitude = options.min_leaf_magnitude;
  if (magnitude > 0.0f && std::fabs(gl) / den_l < magnitude && std::fabs(gr) / den_r < magnitude) return kRefused;
  const float term_l = (gl * (gl * 0.5f)) / den_l;
  const float term_r = (gr * (gr * 0.5f)) / den_r;
  return ((term_l + term_l) + (term_r + term_r)) - parent_term_doubled;
}

// --- general scan ----------------------------------------------------------------------------

float leaf_value_magnitude(const HistogramBin& side, const SplitSelectionOptions& options) {
  const float g = core::leaf_effective_gradient(side.grad_sum, side.grad_sq_sum, side.count, options.split_l1,
                                               options.gradient_noise_strength);
  return std::fabs(g) / ((options.split_l2 + side.hess_sum) + kEpsilon);
}

float gain_term(const HistogramBin& side, const SplitSelectionOptions& options) {
  return core::leaf_gain_term(side.grad_sum, side.hess_sum, side.grad_sq_sum, side.count, options.split_l1,
                              options.split_l2, options.gradient_noise_strength);
}

// The gain of one candidate of the general scan, or nothing when it is refused.
std::optional<float> general_gain(const HistogramBin& left, const HistogramBin& right, float parent_term_doubled,
                                  const SplitSelectionOptions& options) {
  if (left.hess_sum <= options.min_child_hess || right.hess_sum <= options.min_child_hess) return std::nullopt;
  if (left.count == 0 || right.count == 0) return std::nullopt;
  if (left.count < options.min_rows_per_leaf || right.count < options.min_rows_per_leaf) return std::nullopt;
  const float magnitude = options.min_leaf_magnitude;
  if (magnitude > 0.0f && leaf_value_magnitude(left, options) < magnitude &&
      leaf_value_magnitude(right, options) < magnitude) {
    return std::nullopt;
  }
  const float term_l = gain_term(left, options);
  const float term_r = gain_term(right, options);
  const float gain = ((term_l + term_l) + (term_r + term_r)) - parent_term_doubled;
  if (!std::isfinite(gain)) return std::nullopt;
  return gain;
}

// One histogram's best candidate: the category scan for a feature of the categorical list (its
// first entry decides the category count), else the threshold scan its options call for.
std::optional<SplitCandidate> search_histogram(const core::FeatureHistogram& histogram, std::uint32_t node_id,
                                               const SplitSelectionOptions& options,
                                               std::span<const engine::CategoricalFeature> categorical_features) {
  for (const engine::CategoricalFeature& feature : categorical_features) {
    if (feature.first == histogram.feature_index) {
      return best_split_for_categorical_feature_inner(histogram, node_id, options, feature.second, nullptr, nullptr);
    }
  }
  if (!options.gradient_noise_strength.has_value()) return best_numeric_split_fast(histogram, node_id, options);
  return best_split_for_feature_inner(histogram, node_id, options, nullptr, nullptr);
}

}  // namespace

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

  // The four prefix lists, then every candidate's gain (refused or skipped: minus infinity).
  std::vector<HistogramBin> prefix(limit);
  HistogramBin running;
  for (std::size_t t = 0; t < limit; ++t) {
    running.grad_sum += bins[t].grad_sum;
    running.hess_sum += bins[t].hess_sum;
    running.grad_sq_sum += bins[t].grad_sq_sum;
    running.count += bins[t].count;
    prefix[t] = running;
  }
  const float parent_g = fast_effective_gradient(s.total.grad_sum, options.split_l1);
  const float parent_term = (parent_g * (parent_g * 0.5f)) / ((options.split_l2 + s.total.hess_sum) + kEpsilon);
  const float parent_term_doubled = parent_term + parent_term;
  const float missing_count = static_cast<float>(s.missing.count);
  const float non_missing_count = static_cast<float>(s.non_missing.count);
  const float min_rows = static_cast<float>(options.min_rows_per_leaf);

  std::vector<float> gains(2 * limit);  // missing-left gains, then missing-right gains
  for (std::size_t t = 0; t < limit; ++t) {
    const HistogramBin& p = prefix[t];
    const float prefix_count = static_cast<float>(p.count);
    if (skipped_threshold(s, t, p)) {
      gains[t] = gains[limit + t] = -std::numeric_limits<float>::infinity();
      continue;
    }
    const FastSide left_with_missing{s.missing.grad_sum + p.grad_sum, s.missing.hess_sum + p.hess_sum,
                                     prefix_count + missing_count};
    const FastSide right_without_missing{s.non_missing.grad_sum - p.grad_sum, s.non_missing.hess_sum - p.hess_sum,
                                         non_missing_count - prefix_count};
    gains[t] = fast_gain(left_with_missing, right_without_missing, parent_term_doubled, min_rows, options);
    const FastSide left_without_missing{p.grad_sum, p.hess_sum, prefix_count};
    const FastSide right_with_missing{s.missing.grad_sum + (s.non_missing.grad_sum - p.grad_sum),
                                      s.missing.hess_sum + (s.non_missing.hess_sum - p.hess_sum),
                                      (non_missing_count - prefix_count) + missing_count};
    gains[limit + t] = fast_gain(left_without_missing, right_with_missing, parent_term_doubled, min_rows, options);
  }

  float best_gain = 0.0f;
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < gains.size(); ++i) {
    if (gains[i] > best_gain) {
      best_gain = gains[i];
      best = i;
    }
  }
  if (!best) return std::nullopt;
  const bool default_left = *best < limit;
  const std::size_t t = default_left ? *best : *best - limit;
  const HistogramBin& p = prefix[t];
  if (default_left) {
    return make_candidate(node_id, histogram.feature_index, best_gain, t, true, missing_left_left(s, p),
                          missing_left_right(s, p));
  }
  return make_candidate(node_id, histogram.feature_index, best_gain, t, false, p, missing_right_right(s, p));
}

std::optional<SplitCandidate> best_split_for_feature_inner(const core::FeatureHistogram& histogram,
                                                           std::uint32_t node_id, const SplitSelectionOptions& options,
                                                           const engine::MorphContext* morph_context,
                                                           const engine::FactorSplitContext* factor_context) {
  if (morph_context != nullptr) morph_not_implemented();
  if (factor_context != nullptr) factor_penalty_not_implemented();
  const std::span<const HistogramBin> bins = histogram.bins;
  const std::optional<ScanSetup> setup = prepare_scan(bins, options);
  if (!setup) return std::nullopt;
  const ScanSetup& s = *setup;
  const float parent_term = gain_term(s.total, options);
  const float parent_term_doubled = parent_term + parent_term;

  float best_gain = 0.0f;
  std::optional<SplitCandidate> best;
  HistogramBin prefix;
  for (std::size_t t = 0; t < s.limit; ++t) {
    prefix.grad_sum += bins[t].grad_sum;
    prefix.hess_sum += bins[t].hess_sum;
    prefix.grad_sq_sum += bins[t].grad_sq_sum;
    prefix.count += bins[t].count;
    if (skipped_threshold(s, t, prefix)) continue;
    for (const bool default_left : {true, false}) {
      const HistogramBin left = default_left ? missing_left_left(s, prefix) : prefix;
      const HistogramBin right = default_left ? missing_left_right(s, prefix) : missing_right_right(s, prefix);
      const std::optional<float> gain = general_gain(left, right, parent_term_doubled, options);
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
  if (factor_context != nullptr) factor_penalty_not_implemented();

  const std::size_t count = bundle.histograms.size();
  // Each histogram is searched on its own (on the pool for large bundles); the winner is then
  // picked serially in bundle order, so ties and unordered weighted gains resolve exactly as in
  // a serial scan whatever the thread count.
  std::size_t bins = 0;
  for (const core::FeatureHistogram& histogram : bundle.histograms) bins += histogram.bins.size();
  const std::size_t min_parallel = bins >= kParallelSplitBins ? kParallelSplitHistograms : parallel::kAllThreads;
  std::vector<std::optional<SplitCandidate>> candidates = parallel::parallel_map<std::optional<SplitCandidate>>(
      count,
      [&](std::size_t i) {
        return search_histogram(bundle.histograms[i], bundle.node_id, options, categorical_features);
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

std::optional<SplitCandidate> best_split_morph_with_factor_context(
    const core::HistogramBundle&, const SplitSelectionOptions&, std::span<const float>,
    std::span<const engine::CategoricalFeature>, const engine::MorphContext&, const engine::FactorSplitContext*) {
  morph_not_implemented();
}

}  // namespace kestrune::backend_cpu

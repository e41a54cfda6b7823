#include "backend_cpu/split_search.hpp"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <vector>

#include "backend_cpu/categorical_split.hpp"
#include "backend_cpu/factor_penalty.hpp"
#include "backend_cpu/morph_gain.hpp"
#include "backend_cpu/numeric_split_lanes.hpp"
#include "backend_cpu/split_gain.hpp"
#include "backend_cpu/threshold_scan.hpp"
#include "core/leaf.hpp"
#include "engine/error.hpp"
#include "parallel/parallel.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu {

namespace {

using core::HistogramBin;
using engine::SplitCandidate;
using engine::SplitSelectionOptions;

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

// A threshold whose missing-right left child would take every non-missing row: at the last
// threshold both of its candidates are skipped.
bool skipped_threshold(const ScanSetup& s, std::size_t t, const HistogramBin& prefix) {
  return t + 1 == s.limit && prefix.count == s.non_missing.count;
}

// The fast scan puts four thresholds of one histogram side by side.
constexpr std::size_t kFastLanes = 4;

// The first of the greatest gains above a start of 0 over one kind of candidate (missing left, or
// missing right) in ascending threshold order; a candidate was found when the gain is above 0.
struct FastBest {
  float gain = 0.0f;
  std::size_t threshold = 0;

  void offer(FloatLanes gains, std::size_t base, std::size_t lanes) {
    for (std::size_t i = 0; i < lanes; ++i) {
      if (gains[i] > gain) {
        gain = gains[i];
        threshold = base + i;
      }
    }
  }
};

// --- general scan ----------------------------------------------------------------------------

// The histogram's entry in the categorical list (the first one for its feature), or null.
const engine::CategoricalFeature* categorical_entry(const core::FeatureHistogram& histogram,
                                                    std::span<const engine::CategoricalFeature> categorical_features) {
  const auto found =
      std::find_if(categorical_features.begin(), categorical_features.end(),
                   [&](const engine::CategoricalFeature& f) { return f.first == histogram.feature_index; });
  return found == categorical_features.end() ? nullptr : &*found;
}

bool takes_fast_scan(const SplitSelectionOptions& options, const engine::MorphContext* morph_context,
                     const engine::FactorSplitContext* factor_context) {
  return morph_context == nullptr && factor_context == nullptr && !options.gradient_noise_strength.has_value();
}

// One histogram's best candidate: the category scan for a feature of the categorical list (its
// first entry decides the category count), else the threshold scan its options call for. The
// morph gain is scored by the general threshold scan only.
std::optional<SplitCandidate> search_histogram(const core::FeatureHistogram& histogram, std::uint32_t node_id,
                                               const SplitSelectionOptions& options,
                                               std::span<const engine::CategoricalFeature> categorical_features,
                                               const engine::MorphContext* morph_context,
                                               const engine::FactorSplitContext* factor_context) {
  if (const engine::CategoricalFeature* feature = categorical_entry(histogram, categorical_features)) {
    return best_split_for_categorical_feature_inner(histogram, node_id, options, feature->second, morph_context,
                                                    factor_context);
  }
  if (takes_fast_scan(options, morph_context, factor_context)) {
    return best_numeric_split_fast(histogram, node_id, options);
  }
  return best_split_for_feature_inner(histogram, node_id, options, morph_context, factor_context);
}

// The searches of one bundle: histograms[first, first + size) of `order`, a lane scan when
// size > 1, else one search_histogram.
struct SearchTask {
  std::uint32_t first;
  std::uint32_t size;
};

// Histograms of the fast scan go in lane groups of one bin count, in bundle order within a bin
// count; every other histogram, and one left alone with its bin count, is searched by itself.
void plan_searches(const core::HistogramBundle& bundle, bool fast,
                   std::span<const engine::CategoricalFeature> categorical_features, std::vector<std::uint32_t>& order,
                   std::vector<SearchTask>& tasks) {
  const std::size_t count = bundle.histograms.size();
  order.reserve(count);
  const auto alone = [&](std::uint32_t i) {
    return !fast || categorical_entry(bundle.histograms[i], categorical_features) != nullptr;
  };
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!alone(i)) continue;
    tasks.push_back({static_cast<std::uint32_t>(order.size()), 1});
    order.push_back(i);
  }
  const auto lane_begin = order.end() - order.begin();
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!alone(i)) order.push_back(i);
  }
  const auto bin_count = [&](std::uint32_t i) { return bundle.histograms[i].bins.size(); };
  std::stable_sort(order.begin() + lane_begin, order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return bin_count(a) < bin_count(b); });
  for (auto it = order.begin() + lane_begin; it != order.end();) {
    const auto run_end =
        std::find_if(it, order.end(), [&](std::uint32_t i) { return bin_count(i) != bin_count(*it); });
    while (it != run_end) {
      const std::size_t size = std::min<std::size_t>(kSplitLaneWidth, static_cast<std::size_t>(run_end - it));
      tasks.push_back({static_cast<std::uint32_t>(it - order.begin()), static_cast<std::uint32_t>(size)});
      it += static_cast<std::ptrdiff_t>(size);
    }
  }
}

}  // namespace

// Each histogram is searched on its own or with others of its bin count in SIMD lanes (on the
// pool for large bundles), with the same result either way; the winner is then picked serially
// in bundle order, so ties and unordered weighted gains resolve exactly as in a serial scan
// whatever the thread count.
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
  std::vector<std::uint32_t> order;
  std::vector<SearchTask> tasks;
  plan_searches(bundle, takes_fast_scan(options, morph_context, factor_context), categorical_features, order, tasks);
  std::vector<std::optional<SplitCandidate>> candidates(count);
  const std::size_t min_parallel = bins >= kParallelSplitBins ? kParallelSplitTasks : parallel::kAllThreads;
  parallel::parallel_for(
      0, tasks.size(),
      [&](std::size_t t) {
        const SearchTask task = tasks[t];
        const std::uint32_t* members = order.data() + task.first;
        if (task.size == 1) {
          candidates[members[0]] = search_histogram(bundle.histograms[members[0]], bundle.node_id, options,
                                                    categorical_features, morph_context, factor_context);
          return;
        }
        const core::FeatureHistogram* histograms[kSplitLaneWidth];
        std::optional<SplitCandidate> results[kSplitLaneWidth];
        for (std::size_t i = 0; i < task.size; ++i) histograms[i] = &bundle.histograms[members[i]];
        best_numeric_splits_fast({histograms, task.size}, bundle.node_id, options, {results, task.size});
        for (std::size_t i = 0; i < task.size; ++i) candidates[members[i]] = std::move(results[i]);
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

  const FastScanConstants k = FastScanConstants::of(options);
  const float parent_term_doubled = fast_parent_term_doubled(s.total.grad_sum, s.total.hess_sum, k);
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
                                  non_missing_count - count, k, parent_term_doubled),
                       base, scored);
    if (missing_empty) continue;
    missing_right.offer(fast_gains(grad, hess, count, s.missing.grad_sum + (s.non_missing.grad_sum - grad),
                                   s.missing.hess_sum + (s.non_missing.hess_sum - hess),
                                   (non_missing_count - count) + missing_count, k, parent_term_doubled),
                        base, scored);
  }

  // Missing right wins only with a strictly greater gain (both start at 0, so it found one).
  const bool default_left = !(missing_right.gain > missing_left.gain);
  const FastBest& best = default_left ? missing_left : missing_right;
  if (!(best.gain > 0.0f)) return std::nullopt;
  // The winner's prefix, summed again in the scan's order: the same bits.
  HistogramBin p;
  for (std::size_t t = 0; t <= best.threshold; ++t) add_bin(p, bins[t]);
  return fast_scan_candidate(node_id, histogram.feature_index, best.gain, best.threshold, default_left, s, p);
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

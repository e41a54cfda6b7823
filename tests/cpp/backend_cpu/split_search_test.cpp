#include "backend_cpu/split_search.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "backend_cpu/numeric_split_lanes.hpp"
#include "backend_test_support.hpp"
#include "core/leaf.hpp"
#include "engine/morph.hpp"

namespace kestrune::backend_cpu {
namespace {

using core::FeatureHistogram;
using core::HistogramBin;
using engine::EngineErrorKind;
using engine::SplitCandidate;
using engine::SplitSelectionOptions;
using test::same_bin;
using test::same_bits;

// --- brute-force reference ---------------------------------------------------------------------

// Sums bins directly (not from running prefixes): with dyadic statistics every order gives the
// same float, so the reference shares nothing with the scan but the definitions.
HistogramBin sum_bins(const FeatureHistogram& h, std::size_t begin, std::size_t end, std::size_t skip) {
  HistogramBin s;
  for (std::size_t i = begin; i < end; ++i) {
    if (i == skip) continue;
    s.grad_sum += h.bins[i].grad_sum;
    s.hess_sum += h.bins[i].hess_sum;
    s.grad_sq_sum += h.bins[i].grad_sq_sum;
    s.count += h.bins[i].count;
  }
  return s;
}

HistogramBin plus(const HistogramBin& a, const HistogramBin& b) {
  return {a.grad_sum + b.grad_sum, a.hess_sum + b.hess_sum, a.grad_sq_sum + b.grad_sq_sum, a.count + b.count};
}

struct Reference {
  std::size_t threshold;
  bool default_left;
  float gain;
  HistogramBin left, right;
};

// fast: the scan without noise (plain L1 rule, all missing-left candidates first); otherwise the
// general scan (leaf formulas with noise, missing left then right per threshold, finite gains).
std::optional<Reference> brute_force(const FeatureHistogram& h, const SplitSelectionOptions& o, bool fast) {
  const std::size_t bins = h.bins.size();
  if (bins < 2) return std::nullopt;
  const HistogramBin total = sum_bins(h, 0, bins, SIZE_MAX);
  if (total.hess_sum <= o.min_child_hess) return std::nullopt;
  const std::size_t m = o.missing_bin;
  const HistogramBin missing = m < bins ? h.bins[m] : HistogramBin{};
  const std::size_t limit = std::min(m, bins);
  const auto effective = [&](const HistogramBin& s) {
    if (!fast) return core::leaf_effective_gradient(s.grad_sum, s.grad_sq_sum, s.count, o.split_l1,
                                                    o.gradient_noise_strength);
    if (!(o.split_l1 > 0.0f)) return s.grad_sum;
    if (s.grad_sum > o.split_l1) return s.grad_sum - o.split_l1;
    if (s.grad_sum < -o.split_l1) return s.grad_sum + o.split_l1;
    return 0.0f;
  };
  const auto den = [&](const HistogramBin& s) { return (o.split_l2 + s.hess_sum) + 1e-6f; };
  const auto term = [&](const HistogramBin& s) {
    const float g = effective(s);
    return (g * (g * 0.5f)) / den(s);
  };
  std::vector<Reference> order;
  for (int pass = 0; pass < (fast ? 2 : 1); ++pass) {
    for (std::size_t t = 0; t < limit; ++t) {
      const HistogramBin prefix = sum_bins(h, 0, t + 1, SIZE_MAX);
      const HistogramBin rest = sum_bins(h, t + 1, bins, m);
      if (t + 1 == limit && prefix.count == total.count - missing.count) continue;
      for (const bool missing_left : {true, false}) {
        if (fast && missing_left != (pass == 0)) continue;
        const HistogramBin left = missing_left ? plus(missing, prefix) : prefix;
        const HistogramBin right = missing_left ? rest : plus(missing, rest);
        order.push_back({t, missing_left, 0.0f, left, right});
      }
    }
  }
  std::optional<Reference> best;
  float best_gain = 0.0f;
  for (Reference& c : order) {
    if (c.left.hess_sum <= o.min_child_hess || c.right.hess_sum <= o.min_child_hess) continue;
    if (c.left.count == 0 || c.right.count == 0) continue;
    if (c.left.count < o.min_rows_per_leaf || c.right.count < o.min_rows_per_leaf) continue;
    if (o.min_leaf_magnitude > 0.0f && std::fabs(effective(c.left)) / den(c.left) < o.min_leaf_magnitude &&
        std::fabs(effective(c.right)) / den(c.right) < o.min_leaf_magnitude) {
      continue;
    }
    c.gain = 2.0f * term(c.left) + 2.0f * term(c.right) - 2.0f * term(total);
    if (!fast && !std::isfinite(c.gain)) continue;
    if (c.gain > best_gain) {
      best_gain = c.gain;
      best = c;
    }
  }
  return best;
}

// Dyadic statistics: gradient sums in 1/16 steps, hessians positive in 1/16 steps, squares in
// 1/256 steps, counts 0..6 (an empty bin has all-zero statistics), some bins repeated.
FeatureHistogram random_histogram(std::size_t bins, std::uint32_t feature, std::mt19937& rng) {
  FeatureHistogram h{std::vector<HistogramBin>(bins), feature};
  for (std::size_t i = 0; i < bins; ++i) {
    if (i > 0 && rng() % 5 == 0) {
      h.bins[i] = h.bins[i - 1];
      continue;
    }
    const std::uint32_t count = rng() % 7;
    if (count == 0) continue;
    h.bins[i] = {static_cast<float>(static_cast<int>(rng() % 97) - 48) / 16.0f,
                 static_cast<float>(1 + rng() % 32) / 16.0f, static_cast<float>(rng() % 4096) / 256.0f, count};
  }
  return h;
}

core::HistogramBundle bundle_of(std::vector<FeatureHistogram> histograms, std::uint32_t node_id = 0) {
  return core::HistogramBundle{std::move(histograms), node_id};
}

std::optional<SplitCandidate> best_of(const core::HistogramBundle& bundle, const SplitSelectionOptions& options,
                                     std::span<const float> weights = {}) {
  return best_split_with_factor_context(bundle, options, weights, {}, nullptr);
}

// --- the threshold scans -------------------------------------------------------------------------

TEST(SplitSearchScan, MatchesBruteForceForEveryRegulariser) {
  std::mt19937 rng(1234);
  const std::optional<float> noises[] = {std::nullopt, 0.0f, 0.4f};
  const float l1s[] = {0.0f, 0.5f, 3.0f};
  const float l2s[] = {0.0f, 1.5f};
  const float min_hess[] = {0.0f, 0.5f, 4.0f};
  const float magnitudes[] = {0.0f, 0.05f, 0.6f};
  const std::size_t min_rows[] = {1, 4, 12};
  int found = 0;
  for (int trial = 0; trial < 4500; ++trial) {
    SplitSelectionOptions o;
    o.gradient_noise_strength = noises[trial % 3];
    o.split_l1 = l1s[(trial / 3) % 3];
    o.split_l2 = l2s[(trial / 9) % 2];
    o.min_child_hess = min_hess[(trial / 18) % 3];
    o.min_leaf_magnitude = magnitudes[(trial / 54) % 3];
    o.min_rows_per_leaf = min_rows[(trial / 162) % 3];
    const std::size_t bins = 2 + rng() % 30;
    const std::size_t missing_choices[] = {0, rng() % bins, bins - 1, bins, 255};
    o.missing_bin = missing_choices[rng() % 5];
    const FeatureHistogram h = random_histogram(bins, 3, rng);
    SCOPED_TRACE(::testing::Message() << "trial " << trial << ", " << bins << " bins, missing " << o.missing_bin);

    const bool fast = !o.gradient_noise_strength.has_value();
    const std::optional<Reference> expected = brute_force(h, o, fast);
    const std::optional<SplitCandidate> actual = best_of(bundle_of({h}, 17), o);
    ASSERT_EQ(actual.has_value(), expected.has_value());
    if (!expected) continue;
    ++found;
    EXPECT_EQ(actual->threshold_bin, expected->threshold);
    EXPECT_EQ(actual->default_left, expected->default_left);
    EXPECT_TRUE(same_bits(actual->gain, expected->gain)) << actual->gain << " vs " << expected->gain;
    EXPECT_TRUE(same_bin(actual->left_stats, expected->left));
    EXPECT_TRUE(same_bin(actual->right_stats, expected->right));
    EXPECT_EQ(actual->node_id, 17u);
    EXPECT_EQ(actual->feature_index, 3u);
    EXPECT_FALSE(actual->is_categorical);
    EXPECT_FALSE(actual->category_bitset.has_value());
  }
  EXPECT_GT(found, 1500);  // the draws must exercise the winners, not only the refusals
}

TEST(SplitSearchScan, TwoPopulatedBinsWithoutMissingRows) {
  const FeatureHistogram h{{{-2.0f, 1.0f, 4.0f, 1}, {3.0f, 1.0f, 9.0f, 1}}, 0};
  SplitSelectionOptions o;  // missing_bin 255 lies outside the histogram
  for (const bool general : {false, true}) {
    if (general) o.gradient_noise_strength = 0.0f;
    const auto best = best_of(bundle_of({h}), o);
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->threshold_bin, 0);
    EXPECT_TRUE(best->default_left);
    EXPECT_EQ(best->left_stats.count, 1u);
    EXPECT_EQ(best->right_stats.count, 1u);
  }
}

TEST(SplitSearchScan, RefusalsAndEmptyResults) {
  const FeatureHistogram h{{{-2.0f, 1.0f, 4.0f, 1}, {3.0f, 1.0f, 9.0f, 1}, {-3.0f, 2.0f, 9.0f, 2}}, 0};
  for (const std::optional<float> noise : {std::optional<float>{}, std::optional<float>{0.0f}}) {
    SplitSelectionOptions o;
    o.gradient_noise_strength = noise;
    o.missing_bin = 0;
    EXPECT_FALSE(best_of(bundle_of({h}), o)) << "missing bin 0 leaves no threshold";
    o.missing_bin = 255;
    o.min_child_hess = 4.0f;  // the parent's hessian
    EXPECT_FALSE(best_of(bundle_of({h}), o));
    o.min_child_hess = 1.0f;  // bin 0 alone has exactly this hessian: threshold 0 is refused
    const auto best = best_of(bundle_of({h}), o);
    ASSERT_TRUE(best);
    EXPECT_EQ(best->threshold_bin, 1);
    o.min_child_hess = 0.0f;
    o.split_l1 = 10.0f;  // every |G| within L1: every gain is 0
    EXPECT_FALSE(best_of(bundle_of({h}), o));
    o.split_l1 = 0.0f;
    o.min_leaf_magnitude = 100.0f;
    EXPECT_FALSE(best_of(bundle_of({h}), o));
    o.min_leaf_magnitude = 1.5f;  // bin 1 alone on one side reaches |3| / 1
    EXPECT_TRUE(best_of(bundle_of({h}), o));
  }
  EXPECT_FALSE(best_of(bundle_of({FeatureHistogram{{{1.0f, 1.0f, 1.0f, 1}}, 0}}), {}));
  EXPECT_FALSE(best_of(bundle_of({}), {}));
}

// A missing bin inside the histogram: bins above it are never thresholds but count on the right.
TEST(SplitSearchScan, BinsAboveTheMissingBinStayRight) {
  const FeatureHistogram h{{{-4.0f, 1.0f, 16.0f, 2}, {4.0f, 1.0f, 16.0f, 2}, {0.5f, 1.0f, 1.0f, 1}, {9.0f, 1.0f, 81.0f, 3}},
                           0};
  SplitSelectionOptions o;
  o.missing_bin = 2;
  const auto best = best_of(bundle_of({h}), o);
  ASSERT_TRUE(best);
  EXPECT_EQ(best->threshold_bin, 0);
  EXPECT_EQ(best->left_stats.count + best->right_stats.count, 8u);
  EXPECT_EQ(best->default_left ? best->right_stats.count : best->right_stats.count - 1, 5u);
}

// Equal gains: missing right at threshold 2 and missing left at threshold 5, nothing better.
TEST(SplitSearchScan, FastAndGeneralScansBreakTiesInTheirOwnOrder) {
  const float g[] = {-3, -3, -3, 1, -2, -3, 2};
  const float hs[] = {1, 1, 1, 2, 1, 1, 1};
  FeatureHistogram h{std::vector<HistogramBin>(8), 0};
  for (int i = 0; i < 7; ++i) h.bins[i] = {g[i], hs[i], g[i] * g[i], 1};
  h.bins[7] = {-1.0f, 1.0f, 1.0f, 1};
  SplitSelectionOptions o;
  o.missing_bin = 7;
  const auto fast = best_of(bundle_of({h}), o);
  ASSERT_TRUE(fast);
  EXPECT_EQ(fast->threshold_bin, 5);
  EXPECT_TRUE(fast->default_left);
  o.gradient_noise_strength = 0.0f;
  const auto general = best_of(bundle_of({h}), o);
  ASSERT_TRUE(general);
  EXPECT_EQ(general->threshold_bin, 2);
  EXPECT_FALSE(general->default_left);
  EXPECT_TRUE(same_bits(fast->gain, general->gain));
}

// The fast scan has no finiteness test: an infinite gain wins there, the general scan drops it.
TEST(SplitSearchScan, InfiniteGainsWinOnlyInTheFastScan) {
  const float huge = 3e38f;
  const FeatureHistogram h{{{huge, 1.0f, 0.0f, 1}, {-huge, 1.0f, 0.0f, 1}, {1.0f, 1.0f, 1.0f, 1}}, 0};
  SplitSelectionOptions o;
  const auto fast = best_of(bundle_of({h}), o);
  ASSERT_TRUE(fast);
  EXPECT_TRUE(std::isinf(fast->gain));
  o.gradient_noise_strength = 0.0f;
  const auto general = best_of(bundle_of({h}), o);
  EXPECT_TRUE(!general || std::isfinite(general->gain));
}

// The fast scan scoring every candidate, both missing sides, from the same running prefixes and
// float32 counts: all missing-left gains, then all missing-right ones, the first greatest above 0
// winning. Unlike the brute force, it matches the scan's bits on arbitrary (non-dyadic) sums.
std::optional<Reference> every_candidate_fast_scan(const FeatureHistogram& h, const SplitSelectionOptions& o) {
  const std::size_t bins = h.bins.size();
  if (bins < 2) return std::nullopt;
  const HistogramBin total = sum_bins(h, 0, bins, SIZE_MAX);  // in bin order, as the scan sums
  if (total.hess_sum <= o.min_child_hess) return std::nullopt;
  const std::size_t m = o.missing_bin;
  const HistogramBin miss = m < bins ? h.bins[m] : HistogramBin{};
  const HistogramBin rest{total.grad_sum - miss.grad_sum, total.hess_sum - miss.hess_sum,
                          total.grad_sq_sum - miss.grad_sq_sum,
                          total.count > miss.count ? total.count - miss.count : 0};
  const std::size_t limit = std::min(m, bins);
  const auto effective = [&](float g) {
    if (!(o.split_l1 > 0.0f)) return g;
    return g > o.split_l1 ? g - o.split_l1 : (g < -o.split_l1 ? g + o.split_l1 : 0.0f);
  };
  const auto den = [&](float hs) { return (o.split_l2 + hs) + 1e-6f; };
  const auto term = [&](float g, float hs) { return (effective(g) * (effective(g) * 0.5f)) / den(hs); };
  const float parent = term(total.grad_sum, total.hess_sum);
  const auto gain = [&](float lg, float lh, float lc, float rg, float rh, float rc) {
    const auto small = [&](float g, float hs) { return std::fabs(effective(g)) / den(hs) < o.min_leaf_magnitude; };
    const float rows = static_cast<float>(o.min_rows_per_leaf);
    if (lh <= o.min_child_hess || rh <= o.min_child_hess || !(lc > 0.0f) || !(rc > 0.0f) || lc < rows || rc < rows ||
        (o.min_leaf_magnitude > 0.0f && small(lg, lh) && small(rg, rh))) {
      return -std::numeric_limits<float>::infinity();
    }
    return ((term(lg, lh) + term(lg, lh)) + (term(rg, rh) + term(rg, rh))) - (parent + parent);
  };
  std::vector<Reference> order;
  for (const bool missing_left : {true, false}) {
    for (std::size_t t = 0; t < limit; ++t) {
      const HistogramBin p = sum_bins(h, 0, t + 1, SIZE_MAX);
      if (t + 1 == limit && p.count == rest.count) continue;
      const float pc = static_cast<float>(p.count), mc = static_cast<float>(miss.count);
      const float rc = static_cast<float>(rest.count);
      const float g = missing_left ? gain(miss.grad_sum + p.grad_sum, miss.hess_sum + p.hess_sum, pc + mc,
                                          rest.grad_sum - p.grad_sum, rest.hess_sum - p.hess_sum, rc - pc)
                                   : gain(p.grad_sum, p.hess_sum, pc, miss.grad_sum + (rest.grad_sum - p.grad_sum),
                                          miss.hess_sum + (rest.hess_sum - p.hess_sum), (rc - pc) + mc);
      order.push_back({t, missing_left, g, {}, {}});
    }
  }
  std::optional<Reference> best;
  for (const Reference& c : order) {
    if (c.gain > (best ? best->gain : 0.0f)) best = c;
  }
  return best;
}

// Realistic sums and ties: with an empty missing bin (outside the histogram, or inside with zero
// statistics of either sign) the scan skips the missing-right candidates, and with a missing bin
// of count 0 but left-over sums (as subtraction leaves them) it must not; the winner is the same.
TEST(SplitSearchScan, SkippingMissingRightCandidatesKeepsTheWinner) {
  std::mt19937 rng(4321);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  int found = 0;
  for (int trial = 0; trial < 3000; ++trial) {
    const std::size_t bins = 2 + rng() % (trial % 4 == 0 ? 300 : 40);
    FeatureHistogram h{std::vector<HistogramBin>(bins), 2};
    for (HistogramBin& bin : h.bins) {
      if (rng() % 4 == 0) continue;
      if (rng() % 6 == 0 && &bin != &h.bins.front()) { bin = *(&bin - 1); continue; }  // ties
      const float g = normal(rng);
      bin = {g, 0.1f + std::fabs(normal(rng)), g * g, 1 + static_cast<std::uint32_t>(rng() % 40)};
    }
    SplitSelectionOptions o;
    o.split_l1 = trial % 3 == 0 ? 0.3f : 0.0f;
    o.split_l2 = trial % 5 == 0 ? 0.0f : 1.0f;
    o.min_child_hess = trial % 7 == 0 ? 2.0f : 0.0f;
    o.min_leaf_magnitude = trial % 11 == 0 ? 0.05f : 0.0f;
    o.min_rows_per_leaf = 1 + rng() % 20;
    const std::size_t kind = trial % 4;
    o.missing_bin = kind == 0 ? 255 : rng() % bins;
    if (kind == 0 && bins > 255) h.bins[255] = {};
    if (kind == 1) h.bins[o.missing_bin] = {};
    if (kind == 2) h.bins[o.missing_bin] = {-0.0f, -0.0f, 0.0f, 0};
    if (kind == 3) h.bins[o.missing_bin] = {1e-7f * normal(rng), 1e-7f, 0.0f, 0};
    SCOPED_TRACE(::testing::Message() << "trial " << trial << ", " << bins << " bins, missing " << o.missing_bin);
    const std::optional<Reference> expected = every_candidate_fast_scan(h, o);
    const std::optional<SplitCandidate> actual = best_numeric_split_fast(h, 9, o);
    ASSERT_EQ(actual.has_value(), expected.has_value());
    if (!expected) continue;
    ++found;
    EXPECT_EQ(actual->threshold_bin, expected->threshold);
    EXPECT_EQ(actual->default_left, expected->default_left);
    EXPECT_TRUE(same_bits(actual->gain, expected->gain)) << actual->gain << " vs " << expected->gain;
    const HistogramBin p = sum_bins(h, 0, expected->threshold + 1, SIZE_MAX);
    const HistogramBin miss = o.missing_bin < bins ? h.bins[o.missing_bin] : HistogramBin{};
    EXPECT_TRUE(same_bin(actual->left_stats, expected->default_left ? plus(miss, p) : p));
  }
  EXPECT_GT(found, 1500);
}

// --- several histograms side by side ----------------------------------------------------------------

::testing::AssertionResult same_candidate(const std::optional<SplitCandidate>& a,
                                          const std::optional<SplitCandidate>& b) {
  if (a.has_value() != b.has_value()) return ::testing::AssertionFailure() << "one side has no candidate";
  if (!a) return ::testing::AssertionSuccess();
  if (a->feature_index != b->feature_index || a->node_id != b->node_id || a->threshold_bin != b->threshold_bin ||
      a->default_left != b->default_left || a->is_categorical != b->is_categorical ||
      a->category_bitset != b->category_bitset || !same_bits(a->gain, b->gain)) {
    return ::testing::AssertionFailure() << "feature " << a->feature_index << " vs " << b->feature_index << ", bin "
                                         << a->threshold_bin << " vs " << b->threshold_bin << ", gain " << a->gain
                                         << " vs " << b->gain;
  }
  if (auto same = same_bin(a->left_stats, b->left_stats); !same) return same << " (left)";
  return same_bin(a->right_stats, b->right_stats) << " (right)";
}

// Non-dyadic sums, so that the order of the additions shows in the bits; empty_percent of the bins
// empty (zero sums of either sign, or a square sum left over); and in some histograms one bin with
// a NaN or an overflowing sum, an infinite hessian or square, or a count that takes the prefix
// counts past 2^31 (or two, whose sum wraps). hess_scale puts some totals under min_child_hess.
FeatureHistogram stress_histogram(std::size_t bins, std::uint32_t feature, float hess_scale,
                                  std::uint32_t empty_percent, std::mt19937& rng) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  FeatureHistogram h{std::vector<HistogramBin>(bins), feature};
  const HistogramBin empty_bins[] = {{}, {-0.0f, -0.0f, 0.0f, 0}, {0.0f, 0.0f, 0.25f, 0}};
  for (HistogramBin& bin : h.bins) {
    if (rng() % 100 < empty_percent) {
      bin = empty_bins[rng() % 3];
      continue;
    }
    const float g = normal(rng);
    bin = {g, hess_scale * (0.05f + std::fabs(normal(rng))), g * g, 1 + static_cast<std::uint32_t>(rng() % 30)};
  }
  HistogramBin& odd = h.bins[rng() % bins];
  switch (rng() % 10) {
    case 0: odd.grad_sum = std::numeric_limits<float>::quiet_NaN(); break;
    case 1: odd.grad_sum = rng() % 2 ? 3e38f : -3e38f; break;
    case 2: odd.hess_sum = std::numeric_limits<float>::infinity(); break;
    case 3: odd.grad_sq_sum = std::numeric_limits<float>::infinity(); break;
    case 4: odd.count = 0x7FFFFFF0u + rng() % 64; break;
    case 5: odd.count = h.bins[rng() % bins].count = 0xC0000000u; break;  // the total count wraps
    default: break;
  }
  return h;
}

// Random bundles of 1 to 37 histograms: each histogram's lane result is bit for bit the scalar
// scan's on it alone, and the bundle's winner (lanes, lone histograms and categorical features
// mixed, on the pool for large bundles) is the first best of the one-histogram searches.
TEST(SplitSearchLanes, EveryLaneMatchesTheScalarScanAndTheBundlePicksTheSameWinner) {
  const std::size_t bin_counts[] = {2, 3, 5, 256, 300};  // 300: past the scan's stack buffer
  const float min_hess[] = {0.0f, 1e-3f, 2.0f};
  const std::size_t min_rows[] = {0, 1, 7};
  const float weight_choices[] = {0.5f, 1.0f, 2.0f};
  int found = 0;
  for (const std::uint32_t seed : {11u, 12u, 13u}) {
    std::mt19937 rng(seed);
    for (int trial = 0; trial < 160; ++trial) {
      SplitSelectionOptions o;
      o.split_l1 = trial % 2 ? 0.4f : 0.0f;
      o.split_l2 = trial % 3 ? 1.0f : 0.0f;
      o.min_child_hess = min_hess[trial / 2 % 3];
      o.min_leaf_magnitude = trial / 6 % 2 ? 0.05f : 0.0f;
      o.min_rows_per_leaf = min_rows[trial / 12 % 3];
      const bool mixed_bins = trial % 5 == 0;
      const bool sparse = trial % 3 == 1;  // many thresholds empty in every lane of a group
      const std::size_t n = bin_counts[rng() % 5];
      const std::size_t missing_bins[] = {n - 1, rng() % n, n, 255, 0};
      o.missing_bin = static_cast<std::uint16_t>(missing_bins[rng() % 5]);
      std::vector<FeatureHistogram> histograms;
      const std::size_t count = 1 + rng() % 37;
      for (std::uint32_t f = 0; f < count; ++f) {
        const std::size_t bins = mixed_bins ? bin_counts[rng() % 5] : n;
        histograms.push_back(stress_histogram(bins, f, rng() % 4 == 0 ? 0.01f : 1.0f, sparse ? 85 : 20, rng));
        if (o.missing_bin >= bins) continue;
        HistogramBin& missing = histograms.back().bins[o.missing_bin];
        // Empty, or with row count 0 but sums left over (as a subtraction may leave them), or rows
        // unlike the others, which a split sending them alone to the right would separate.
        const HistogramBin kinds[] = {missing,
                                      {},
                                      {-0.0f, -0.0f, 0.0f, 0},
                                      {0.5f, 0.0f, 0.0f, 0},
                                      {0.0f, 0.25f, 0.0f, 0},
                                      {-20.0f, 5.0f, 400.0f, 10}};
        missing = kinds[rng() % 6];
      }
      std::vector<engine::CategoricalFeature> categorical;
      if (trial % 7 == 0) categorical = {{1, n}, {4, n}};
      std::vector<float> weights;
      if (trial % 4 == 0) {
        for (std::size_t f = 0; f < count; ++f) weights.push_back(weight_choices[rng() % 3]);
      }
      SCOPED_TRACE(::testing::Message() << "seed " << seed << ", trial " << trial << ", " << count << " x " << n
                                        << " bins, missing " << o.missing_bin);

      // Each lane group: the histograms of one bin count in bundle order, four at a time.
      for (const std::size_t bins : bin_counts) {
        std::vector<const FeatureHistogram*> group;
        for (const FeatureHistogram& h : histograms) {
          if (h.bins.size() == bins) group.push_back(&h);
        }
        for (std::size_t first = 0; first < group.size(); first += kSplitLaneWidth) {
          const std::size_t size = std::min(kSplitLaneWidth, group.size() - first);
          std::vector<std::optional<SplitCandidate>> lanes(size);
          best_numeric_splits_fast({group.data() + first, size}, 6, o, lanes);
          for (std::size_t i = 0; i < size; ++i) {
            const std::optional<SplitCandidate> scalar = best_numeric_split_fast(*group[first + i], 6, o);
            found += scalar.has_value();
            EXPECT_TRUE(same_candidate(lanes[i], scalar)) << "lane " << i << " of a group of " << size;
          }
        }
      }

      std::optional<SplitCandidate> expected;
      for (const FeatureHistogram& h : histograms) {
        const auto c = best_split_with_factor_context(bundle_of({h}, 6), o, weights, categorical, nullptr);
        if (c && (!expected || weighted_gain(*c, weights) > weighted_gain(*expected, weights))) expected = c;
      }
      EXPECT_TRUE(same_candidate(best_split_with_factor_context(bundle_of(histograms, 6), o, weights, categorical,
                                                                nullptr),
                                 expected));
    }
  }
  EXPECT_GT(found, 2500);  // the draws must exercise the winners, not only the refusals
}

// --- selection over features ----------------------------------------------------------------------

TEST(SplitSearchSelection, EqualGainsKeepTheEarliestHistogramSeriallyAndOnThePool) {
  const FeatureHistogram base{{{-2.0f, 1.0f, 4.0f, 1}, {3.0f, 1.0f, 9.0f, 1}}, 0};
  // 2500 histograms of 2 bins hold enough bins in all for the pool.
  for (const std::size_t n : {3u, 15u, 16u, 20u, 100u, 2500u}) {
    std::vector<FeatureHistogram> histograms;
    for (std::size_t i = 0; i < n; ++i) {
      histograms.push_back(base);
      histograms.back().feature_index = static_cast<std::uint32_t>(100 + i);
    }
    const auto best = best_of(bundle_of(histograms, 5), {});
    ASSERT_TRUE(best);
    EXPECT_EQ(best->feature_index, 100u) << n << " histograms";
  }
}

TEST(SplitSearchSelection, FeatureWeightsScaleTheComparisonOnly) {
  const FeatureHistogram strong{{{-2.0f, 1.0f, 4.0f, 1}, {2.0f, 1.0f, 4.0f, 1}}, 0};
  const FeatureHistogram weak{{{-1.5f, 1.0f, 2.25f, 1}, {1.5f, 1.0f, 2.25f, 1}}, 1};
  const float strong_gain = best_of(bundle_of({strong}), {})->gain;
  const float weak_gain = best_of(bundle_of({weak}), {})->gain;
  ASSERT_GT(weak_gain * 2.0f, strong_gain);
  const std::vector<float> weights{1.0f, 2.0f};
  const auto weighted = best_of(bundle_of({strong, weak}), {}, weights);
  EXPECT_EQ(weighted->feature_index, 1u);
  EXPECT_TRUE(same_bits(weighted->gain, weak_gain));  // the stored gain is not weighted
  const std::vector<float> halved{0.5f};              // feature 1 lies past the list: unweighted
  EXPECT_EQ(best_of(bundle_of({strong, weak}), {}, halved)->feature_index, 1u);
  EXPECT_EQ(best_of(bundle_of({strong, weak}), {})->feature_index, 0u);
}

// Random bundles, small and large: the winner is the first histogram of greatest weighted gain,
// with the same bits on the pool as in a serial fold.
TEST(SplitSearchSelection, RandomBundlesPickTheFirstBestWeightedGain) {
  std::mt19937 rng(77);
  // 700 histograms of 2 to 13 bins hold enough bins in all for the pool.
  for (const std::size_t n : {4u, 15u, 16u, 40u, 700u}) {
    for (int trial = 0; trial < (n > 100 ? 4 : 20); ++trial) {
      std::vector<FeatureHistogram> histograms;
      std::vector<float> weights;
      for (std::size_t i = 0; i < n; ++i) {
        histograms.push_back(random_histogram(2 + rng() % 12, static_cast<std::uint32_t>(i), rng));
        if (i % 3 == 0 && i > 0) histograms.back() = histograms[i - 1], histograms.back().feature_index = i;
        weights.push_back(static_cast<float>(rng() % 3) * 0.5f);
      }
      const auto best = best_of(bundle_of(histograms), {}, weights);
      std::optional<SplitCandidate> expected;
      for (const FeatureHistogram& h : histograms) {
        const auto c = best_numeric_split_fast(h, 0, {});
        if (c && (!expected || weighted_gain(*c, weights) > weighted_gain(*expected, weights))) expected = c;
      }
      ASSERT_EQ(best.has_value(), expected.has_value());
      if (expected) {
        EXPECT_EQ(best->feature_index, expected->feature_index);
        EXPECT_TRUE(same_bits(best->gain, expected->gain));
      }
    }
  }
}

}  // namespace
}  // namespace kestrune::backend_cpu

#include "backend_cpu/split_search.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <random>
#include <vector>

#include "backend_test_support.hpp"
#include "core/leaf.hpp"

namespace kestrune::backend_cpu {
namespace {

using core::FeatureHistogram;
using core::HistogramBin;
using engine::SplitCandidate;
using engine::SplitSelectionOptions;
using test::same_bin;
using test::same_bits;

// Brute-force references: every candidate scored from sums taken directly, not running prefixes;
// dyadic statistics make every order give the same float, so they share only the definitions.

HistogramBin plus(const HistogramBin& a, const HistogramBin& b) {
  return {a.grad_sum + b.grad_sum, a.hess_sum + b.hess_sum, a.grad_sq_sum + b.grad_sq_sum, a.count + b.count};
}

HistogramBin sum_bins(const FeatureHistogram& h, std::size_t begin, std::size_t end, std::size_t skip = SIZE_MAX) {
  HistogramBin s;
  for (std::size_t i = begin; i < end; ++i) s = i == skip ? s : plus(s, h.bins[i]);
  return s;
}

struct Candidate {
  std::size_t threshold = 0;
  std::vector<bool> left_set;  // by category
  bool default_left = false;
  HistogramBin left, right;
  float gain = 0.0f;
};

// The first candidate of greatest gain above 0 that no rule refuses; `finite`: infinite gains are
// refused too.
std::optional<Candidate> best_candidate(std::vector<Candidate> order, const HistogramBin& parent,
                                        const SplitSelectionOptions& o, bool finite) {
  const auto effective = [&](const HistogramBin& s) {
    return core::leaf_effective_gradient(s.grad_sum, s.grad_sq_sum, s.count, o.split_l1, o.gradient_noise_strength);
  };
  const auto den = [&](const HistogramBin& s) { return (o.split_l2 + s.hess_sum) + 1e-6f; };
  const auto term = [&](const HistogramBin& s) { return effective(s) * (effective(s) * 0.5f) / den(s); };
  const auto small = [&](const HistogramBin& s) { return std::fabs(effective(s)) / den(s) < o.min_leaf_magnitude; };
  std::optional<Candidate> best;
  for (Candidate& c : order) {
    if (!(c.left.hess_sum > o.min_child_hess) || !(c.right.hess_sum > o.min_child_hess)) continue;
    if (c.left.count == 0 || c.right.count == 0) continue;
    if (c.left.count < o.min_rows_per_leaf || c.right.count < o.min_rows_per_leaf) continue;
    if (o.min_leaf_magnitude > 0.0f && small(c.left) && small(c.right)) continue;
    c.gain = 2.0f * term(c.left) + 2.0f * term(c.right) - 2.0f * term(parent);
    if (finite && !std::isfinite(c.gain)) continue;
    if (c.gain > (best ? best->gain : 0.0f)) best = c;
  }
  return best;
}

// Thresholds below the missing bin; bins above it count on the right. Without noise (the fast
// scan) all missing-left candidates come first and gains need not be finite; otherwise each
// threshold tries missing left, then right.
std::optional<Candidate> numeric_brute_force(const FeatureHistogram& h, const SplitSelectionOptions& o) {
  const bool fast = !o.gradient_noise_strength.has_value();
  const std::size_t bins = h.bins.size();
  const HistogramBin total = sum_bins(h, 0, bins);
  if (bins < 2 || !(total.hess_sum > o.min_child_hess)) return std::nullopt;
  const std::size_t m = o.missing_bin;
  const HistogramBin missing = m < bins ? h.bins[m] : HistogramBin{};
  const std::size_t limit = std::min(m, bins);
  std::vector<Candidate> order;
  for (int pass = 0; pass < (fast ? 2 : 1); ++pass) {
    for (std::size_t t = 0; t < limit; ++t) {
      const HistogramBin prefix = sum_bins(h, 0, t + 1);
      const HistogramBin rest = sum_bins(h, t + 1, bins, m);
      if (t + 1 == limit && prefix.count == total.count - missing.count) continue;
      for (const bool missing_left : {true, false}) {
        if (fast && missing_left != (pass == 0)) continue;
        order.push_back({t, {}, missing_left, missing_left ? plus(missing, prefix) : prefix,
                         missing_left ? rest : plus(missing, rest)});
      }
    }
  }
  return best_candidate(order, total, o, !fast);
}

// Without sorting: the left set that ends at category c holds every populated category ordered
// no later than c (smaller key, or equal key and smaller id); its size is its place in the scan.
std::optional<Candidate> categorical_brute_force(const FeatureHistogram& h, const SplitSelectionOptions& o,
                                                 std::size_t n) {
  const std::size_t limit = std::min({n, h.bins.size(), o.missing_bin});
  if (n < 2 || limit == 0) return std::nullopt;
  const HistogramBin missing = o.missing_bin < h.bins.size() ? h.bins[o.missing_bin] : HistogramBin{};
  const bool noisy = o.gradient_noise_strength && *o.gradient_noise_strength > 0.0f;
  const auto key = [&](std::size_t c) {
    const HistogramBin& b = h.bins[c];
    const float g = noisy ? core::leaf_effective_gradient(b.grad_sum, b.grad_sq_sum, b.count, o.split_l1,
                                                          o.gradient_noise_strength)
                          : b.grad_sum;
    return g / ((b.hess_sum + o.split_l2) + 1e-6f);
  };
  std::vector<std::size_t> populated;
  for (std::size_t c = 0; c < limit; ++c) {
    if (h.bins[c].count > 0) populated.push_back(c);
  }
  const HistogramBin parent = plus(missing, sum_bins(h, 0, limit));
  if (populated.size() < 2 || !(parent.hess_sum > o.min_child_hess)) return std::nullopt;
  std::vector<std::vector<bool>> sets(populated.size());
  for (const std::size_t c : populated) {
    std::vector<bool> set(limit, false);
    std::size_t size = 0;
    for (const std::size_t d : populated) {
      if (key(d) < key(c) || (key(d) == key(c) && d <= c)) set[d] = true, ++size;
    }
    sets.at(size - 1) = set;
  }
  std::vector<Candidate> order;
  for (std::size_t size = 1; size < populated.size(); ++size) {
    HistogramBin in, out;
    for (std::size_t c = 0; c < limit; ++c) (sets[size - 1][c] ? in : out) = plus(sets[size - 1][c] ? in : out, h.bins[c]);
    for (const bool missing_left : {true, false}) {
      order.push_back({0, sets[size - 1], missing_left, missing_left ? plus(missing, in) : in,
                       missing_left ? out : plus(missing, out)});
    }
  }
  return best_candidate(order, parent, o, true);
}

// Dyadic statistics: gradient sums in 1/16 steps, hessians positive in 1/16 steps, squares in
// 1/256 steps, counts 0..6 (an empty bin has all-zero statistics), some bins repeating an earlier
// one (equal keys and gains).
FeatureHistogram random_histogram(std::size_t bins, std::uint32_t feature, std::mt19937& rng) {
  FeatureHistogram h{std::vector<HistogramBin>(bins), feature};
  for (std::size_t i = 0; i < bins; ++i) {
    if (i > 0 && rng() % 5 == 0) {
      h.bins[i] = h.bins[rng() % i];
      continue;
    }
    const std::uint32_t count = rng() % 7;
    if (count == 0) continue;
    h.bins[i] = {static_cast<float>(static_cast<int>(rng() % 97) - 48) / 16.0f,
                 static_cast<float>(1 + rng() % 32) / 16.0f, static_cast<float>(rng() % 4096) / 256.0f, count};
  }
  return h;
}

// Every combination of regularisers and limits; missing bins below, inside, at the end and past.
SplitSelectionOptions options_for(int trial, std::size_t bins, std::mt19937& rng) {
  const float l1s[] = {0.0f, 0.5f, 3.0f}, min_hess[] = {0.0f, 0.5f, 4.0f}, magnitudes[] = {0.0f, 0.05f, 0.6f};
  SplitSelectionOptions o;
  if (trial % 3 != 0) o.gradient_noise_strength = trial % 3 == 1 ? 0.0f : 0.4f;
  o.split_l1 = l1s[(trial / 3) % 3];
  o.split_l2 = (trial / 9) % 2 == 0 ? 0.0f : 1.5f;
  o.min_child_hess = min_hess[(trial / 18) % 3];
  o.min_leaf_magnitude = magnitudes[(trial / 54) % 3];
  o.min_rows_per_leaf = std::size_t{1} << (2 * ((trial / 162) % 3));  // 1, 4, 16
  const std::size_t missing_choices[] = {0, rng() % bins, bins - 1, bins, 255};
  o.missing_bin = missing_choices[rng() % 5];
  return o;
}

// Numeric and category splits of random histograms against the brute forces, through the search
// of a whole bundle as the growers call it; feature 4 is listed twice as categorical and the first
// entry decides its category count.
TEST(SplitSearchScan, NumericAndCategoricalMatchBruteForceForEveryOption) {
  std::mt19937 rng(1234);
  int found[2] = {0, 0};
  for (int trial = 0; trial < 9000; ++trial) {
    const bool sets = trial % 2 == 1;
    const std::size_t bins = 2 + rng() % (sets ? 11 : 30);
    const SplitSelectionOptions o = options_for(trial / 2, bins, rng);
    const std::size_t count_choices[] = {0, 1, 2, bins - 1, bins, bins + 9, 40};
    const std::size_t n = count_choices[rng() % 7];
    const FeatureHistogram h = random_histogram(bins, sets ? 4 : 3, rng);
    SCOPED_TRACE(::testing::Message() << "trial " << trial << ", " << bins << " bins, missing " << o.missing_bin
                                      << (sets ? ", categories " : ", numeric ") << n);
    const std::optional<Candidate> expected = sets ? categorical_brute_force(h, o, n) : numeric_brute_force(h, o);
    const std::vector<engine::CategoricalFeature> categorical{{9, 3}, {4, n}, {4, 5}};
    const auto actual = best_split_with_factor_context(core::HistogramBundle{{h}, 17}, o, {},
                                                       sets ? categorical : decltype(categorical){}, nullptr);
    ASSERT_EQ(actual.has_value(), expected.has_value());
    if (!expected) continue;
    ++found[sets];
    EXPECT_EQ(actual->node_id, 17u);
    EXPECT_EQ(actual->feature_index, sets ? 4u : 3u);
    EXPECT_EQ(actual->threshold_bin, expected->threshold);
    EXPECT_EQ(actual->default_left, expected->default_left);
    EXPECT_TRUE(same_bits(actual->gain, expected->gain)) << actual->gain << " vs " << expected->gain;
    EXPECT_TRUE(same_bin(actual->left_stats, expected->left));
    EXPECT_TRUE(same_bin(actual->right_stats, expected->right));
    EXPECT_EQ(actual->is_categorical, sets);
    std::optional<std::vector<std::uint8_t>> bitset;  // category c is bit c % 8 of byte c / 8
    if (sets) bitset.emplace((n + 7) / 8, 0);
    for (std::size_t c = 0; c < expected->left_set.size(); ++c) {
      if (expected->left_set[c]) (*bitset)[c / 8] |= static_cast<std::uint8_t>(1u << (c % 8));
    }
    EXPECT_EQ(actual->category_bitset, bitset);
  }
  EXPECT_GT(found[0], 1500);  // the draws must exercise the winners, not only the refusals
  EXPECT_GT(found[1], 500);
}

}  // namespace
}  // namespace kestrune::backend_cpu

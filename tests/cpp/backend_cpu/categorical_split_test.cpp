#include "backend_cpu/categorical_split.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "backend_cpu/split_search.hpp"
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

// --- brute-force reference ---------------------------------------------------------------------

struct Reference {
  std::vector<bool> left_set;  // by category
  bool default_left;
  float gain;
  HistogramBin left, right;
};

HistogramBin plus(const HistogramBin& a, const HistogramBin& b) {
  return {a.grad_sum + b.grad_sum, a.hess_sum + b.hess_sum, a.grad_sq_sum + b.grad_sq_sum, a.count + b.count};
}

// Without sorting: the left set that ends at category c holds every populated category ordered
// no later than c (smaller key, or equal key and smaller id). Its size is its place in the scan,
// so the sets are tried by size. Sums run in category order; dyadic statistics make them exact.
std::optional<Reference> brute_force(const FeatureHistogram& h, const SplitSelectionOptions& o, std::size_t n) {
  const std::size_t limit = std::min({n, h.bins.size(), o.missing_bin});
  if (n < 2 || limit == 0) return std::nullopt;
  const HistogramBin missing = o.missing_bin < h.bins.size() ? h.bins[o.missing_bin] : HistogramBin{};
  const bool noisy = o.gradient_noise_strength && *o.gradient_noise_strength > 0.0f;
  auto key = [&](std::size_t c) {
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
  if (populated.size() < 2) return std::nullopt;
  HistogramBin others;
  for (std::size_t c = 0; c < limit; ++c) others = plus(others, h.bins[c]);
  const HistogramBin parent = plus(missing, others);
  if (!(parent.hess_sum > o.min_child_hess)) return std::nullopt;

  auto effective = [&](const HistogramBin& s) {
    return core::leaf_effective_gradient(s.grad_sum, s.grad_sq_sum, s.count, o.split_l1, o.gradient_noise_strength);
  };
  auto den = [&](const HistogramBin& s) { return (o.split_l2 + s.hess_sum) + 1e-6f; };
  auto term = [&](const HistogramBin& s) { return effective(s) * (effective(s) * 0.5f) / den(s); };

  std::vector<std::vector<bool>> sets(populated.size());
  for (const std::size_t c : populated) {
    std::vector<bool> set(limit, false);
    std::size_t size = 0;
    for (const std::size_t d : populated) {
      if (key(d) < key(c) || (key(d) == key(c) && d <= c)) set[d] = true, ++size;
    }
    sets.at(size - 1) = set;
  }
  std::optional<Reference> best;
  float best_gain = 0.0f;
  for (std::size_t size = 1; size < populated.size(); ++size) {
    HistogramBin in, out;
    for (std::size_t c = 0; c < limit; ++c) (sets[size - 1][c] ? in : out) = plus(sets[size - 1][c] ? in : out, h.bins[c]);
    for (const bool missing_left : {true, false}) {
      const HistogramBin left = missing_left ? plus(missing, in) : in;
      const HistogramBin right = missing_left ? out : plus(missing, out);
      if (!(left.hess_sum > o.min_child_hess) || !(right.hess_sum > o.min_child_hess)) continue;
      if (left.count == 0 || right.count == 0) continue;
      if (left.count < o.min_rows_per_leaf || right.count < o.min_rows_per_leaf) continue;
      if (o.min_leaf_magnitude > 0.0f && std::fabs(effective(left)) / den(left) < o.min_leaf_magnitude &&
          std::fabs(effective(right)) / den(right) < o.min_leaf_magnitude) {
        continue;
      }
      const float gain = 2.0f * term(left) + 2.0f * term(right) - 2.0f * term(parent);
      if (std::isfinite(gain) && gain > best_gain) {
        best_gain = gain;
        best = Reference{sets[size - 1], missing_left, gain, left, right};
      }
    }
  }
  return best;
}

// Dyadic statistics, counts 0..6, some categories sharing a key (repeated bins).
FeatureHistogram random_histogram(std::size_t bins, std::mt19937& rng) {
  FeatureHistogram h{std::vector<HistogramBin>(bins), 4};
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

TEST(SplitSearchCategorical, MatchesBruteForceForEveryOption) {
  std::mt19937 rng(2024);
  const std::optional<float> noises[] = {std::nullopt, 0.0f, 0.4f};
  const float l1s[] = {0.0f, 0.5f, 3.0f};
  const float l2s[] = {0.0f, 1.5f};
  const float min_hess[] = {0.0f, 0.5f, 4.0f};
  const float magnitudes[] = {0.0f, 0.05f, 0.3f, 0.6f};
  const std::size_t min_rows[] = {1, 4, 12, 16};
  int found = 0;
  for (int trial = 0; trial < 5000; ++trial) {
    SplitSelectionOptions o;
    o.gradient_noise_strength = noises[trial % 3];
    o.split_l1 = l1s[(trial / 3) % 3];
    o.split_l2 = l2s[(trial / 9) % 2];
    o.min_child_hess = min_hess[(trial / 18) % 3];
    o.min_leaf_magnitude = magnitudes[(trial / 54) % 4];
    o.min_rows_per_leaf = min_rows[(trial / 216) % 4];
    const std::size_t bins = 2 + rng() % 11;
    const std::size_t missing_choices[] = {0, rng() % bins, bins - 1, bins, 255};
    o.missing_bin = missing_choices[rng() % 5];
    const std::size_t count_choices[] = {0, 1, 2, bins - 1, bins, bins + 9, 40};
    const std::size_t n = count_choices[rng() % 7];
    const FeatureHistogram h = random_histogram(bins, rng);
    SCOPED_TRACE(::testing::Message() << "trial " << trial << ", " << bins << " bins, " << n << " categories, missing "
                                      << o.missing_bin);

    const std::optional<Reference> expected = brute_force(h, o, n);
    // Through the search of a whole bundle, as the growers call it; feature 4 is listed twice
    // and the first entry decides its category count.
    const std::vector<engine::CategoricalFeature> categorical{{9, 3}, {4, n}, {4, 5}};
    const std::optional<SplitCandidate> actual =
        best_split_with_factor_context(core::HistogramBundle{{h}, 23}, o, {}, categorical, nullptr);
    ASSERT_EQ(actual.has_value(), expected.has_value());
    if (!expected) continue;
    ++found;
    std::vector<std::uint8_t> bitset((n + 7) / 8, 0);
    for (std::size_t c = 0; c < expected->left_set.size(); ++c) {
      if (expected->left_set[c]) bitset[c / 8] |= static_cast<std::uint8_t>(1u << (c % 8));
    }
    EXPECT_EQ(actual->category_bitset, bitset);
    EXPECT_EQ(actual->default_left, expected->default_left);
    EXPECT_TRUE(same_bits(actual->gain, expected->gain)) << actual->gain << " vs " << expected->gain;
    EXPECT_TRUE(same_bin(actual->left_stats, expected->left));
    EXPECT_TRUE(same_bin(actual->right_stats, expected->right));
    EXPECT_TRUE(actual->is_categorical);
    EXPECT_EQ(actual->threshold_bin, 0);
    EXPECT_EQ(actual->node_id, 23u);
    EXPECT_EQ(actual->feature_index, 4u);
  }
  EXPECT_GT(found, 600);  // the draws must exercise the winners, not only the refusals
}

// The stored layout: category c is bit c % 8 of byte c / 8; the length follows the category count
// only, up to the 65536 ids a bin code can hold.
TEST(SplitSearchCategorical, BitsetLayout) {
  const std::vector<CategoryBin> sorted{{0, 0, 0, 9, 1}, {0, 0, 0, 1, 1}, {0, 0, 0, 4, 1}};
  EXPECT_EQ(categorical_bitset_for_prefix(10, sorted, 1), (std::vector<std::uint8_t>{0x02, 0x02}));
  EXPECT_EQ(categorical_bitset_for_prefix(8, sorted, 2), (std::vector<std::uint8_t>{0x12}));  // 9 has no byte
  EXPECT_EQ(categorical_bitset_for_prefix(9, sorted, 0), (std::vector<std::uint8_t>{0x00, 0x02}));
  EXPECT_EQ(categorical_bitset_length(std::size_t{1} << 40), 8192u);
  EXPECT_EQ(categorical_bitset_length(65537), 8192u);
  EXPECT_TRUE(test::panics_with([&] { categorical_bitset_for_prefix(10, sorted, 3); }, "prefix"));
}

// A key that compares with nothing (0 / 0 from a hessian that cancels the regulariser) must not
// break the sort: the search stays in bounds and still splits the other categories.
TEST(SplitSearchCategorical, UnorderedKeysAreSortedSafely) {
  FeatureHistogram h{std::vector<HistogramBin>(40), 0};
  for (std::size_t c = 0; c < 40; ++c) {
    const float g = static_cast<float>(static_cast<int>(c * 7 % 13) - 6);
    h.bins[c] = {g, 1.0f, g * g, 2};
  }
  h.bins[17] = {0.0f, -1e-6f, 0.0f, 2};
  SplitSelectionOptions o;
  o.min_child_hess = -1.0f;
  const std::vector<engine::CategoricalFeature> categorical{{0, 40}};
  const auto best = best_split_with_factor_context(core::HistogramBundle{{h}, 0}, o, {}, categorical, nullptr);
  ASSERT_TRUE(best);
  ASSERT_EQ(best->category_bitset->size(), 5u);
  EXPECT_EQ(best->left_stats.count + best->right_stats.count, 80u);
}

}  // namespace
}  // namespace kestrune::backend_cpu

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/joint/morph_gain.hpp"
#include "engine/joint/shared_histogram.hpp"

namespace kestrune::engine::joint {
namespace {

constexpr float kEps = 1e-6f;

// Rows of one feature with K outputs (gradients row-major), from a fixed congruential sequence.
struct Rows {
  std::vector<std::uint16_t> bins;
  std::vector<float> grads, hess;
  std::size_t k = 0;
};

Rows random_rows(std::size_t n, std::size_t k, std::uint16_t bin_count, std::uint32_t state) {
  Rows rows{{}, {}, {}, k};
  auto next = [&] { return (state = state * 1664525u + 1013904223u) >> 8; };
  for (std::size_t i = 0; i < n; ++i) {
    rows.bins.push_back(static_cast<std::uint16_t>(next() % bin_count));
    for (std::size_t j = 0; j < k; ++j) {
      rows.grads.push_back(static_cast<float>(next() % 2001) / 1000.0f - 1.0f);
      rows.hess.push_back(0.25f + static_cast<float>(next() % 1000) / 1000.0f);
    }
  }
  return rows;
}

MultiOutputHistogram histogram_of(const Rows& rows, std::size_t n_bins) {
  MultiOutputHistogram h = MultiOutputHistogram::zeroed(2, n_bins, rows.k);
  build_multi_output_histogram_inplace(h, 1, rows.bins, rows.grads, rows.hess, rows.k);
  return h;
}

// float64 gain of a row partition straight from the rows.
double reference_gain(const Rows& rows, auto goes_left, double lambda_l2) {
  double total = 0.0;
  for (std::size_t k = 0; k < rows.k; ++k) {
    double g[2] = {0, 0}, h[2] = {0, 0};
    for (std::size_t i = 0; i < rows.bins.size(); ++i) {
      g[goes_left(rows.bins[i]) ? 0 : 1] += rows.grads[i * rows.k + k];
      h[goes_left(rows.bins[i]) ? 0 : 1] += rows.hess[i * rows.k + k];
    }
    auto s = [&](double gs, double hs) { return gs * gs / (lambda_l2 + hs + 1e-6); };
    total += s(g[0], h[0]) + s(g[1], h[1]) - s(g[0] + g[1], h[0] + h[1]);
  }
  return total;
}

TEST(MultiOutputHistogram, ThresholdGainsMatchTheRowsAndTheScanMatchesBitForBit) {
  const Rows rows = random_rows(400, 3, 10, 17);  // bins 0..9 of 12 slots: 10 and 11 stay empty
  const MultiOutputHistogram h = histogram_of(rows, 12);
  std::vector<float> scanned;
  multi_output_threshold_gains(h, 1, 11, 0.5f, kEps, scanned);
  ASSERT_EQ(scanned.size(), 11u);
  for (std::size_t t = 0; t < 11; ++t) {
    const float gain = compute_multi_output_split_gain(h, 1, t, 0.5f, kEps);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(scanned[t]), std::bit_cast<std::uint32_t>(gain)) << t;
    const double expected = reference_gain(rows, [&](std::uint16_t b) { return b <= t; }, 0.5);
    EXPECT_NEAR(gain, expected, 1e-3 * (1.0 + std::fabs(expected))) << t;
  }
}

TEST(MultiOutputHistogram, CategorySubsetIsTheBestPrefixOfTheOrderedCategories) {
  const Rows rows = random_rows(300, 2, 7, 99);  // categories 0..6
  const MultiOutputHistogram h = histogram_of(rows, 9);
  const auto split = find_best_multi_output_categorical_split(h, 1, 7, 1.0f, kEps);
  ASSERT_TRUE(split.has_value());
  EXPECT_EQ(split->n_categories, 7u);
  // Brute force over the prefixes of the order: the first maximal one wins, with the rows' gain.
  const auto order = order_categories_by_output0(h, 1, 7, 1.0f, kEps);
  double best = 0.0;
  std::uint64_t best_mask = 0, mask = 0;
  for (std::size_t i = 0; i + 1 < order.size(); ++i) {
    mask |= std::uint64_t{1} << order[i];
    const double gain = reference_gain(rows, [&](std::uint16_t b) { return ((mask >> b) & 1u) != 0; }, 1.0);
    if (gain > best + 1e-4) best = gain, best_mask = mask;
  }
  EXPECT_EQ(split->mask, best_mask);
  EXPECT_NEAR(split->gain, best, 1e-3 * (1.0 + best));
}

TEST(MultiOutputHistogram, CategorySearchLimitsAndTies) {
  MultiOutputHistogram h = MultiOutputHistogram::zeroed(1, 70, 1);
  auto set = [&](std::size_t c, float g, float hess) {
    h.data[h.cell(0, c, 0)] = g;
    h.data[h.cell(0, c, 0) + 1] = hess;
  };
  for (std::size_t c = 0; c < 70; ++c) set(c, c == 63 ? -50.0f : 1.0f, 1.0f);
  EXPECT_FALSE(find_best_multi_output_categorical_split(h, 0, 1, 0.0f, kEps));
  EXPECT_FALSE(find_best_multi_output_categorical_split(h, 0, 65, 0.0f, kEps));
  // Category 63 sorts first and goes left alone: the 64th mask bit is reachable.
  const auto split = find_best_multi_output_categorical_split(h, 0, 64, 0.0f, kEps);
  ASSERT_TRUE(split);
  EXPECT_EQ(split->mask, std::uint64_t{1} << 63);
  // Equal means everywhere: every prefix gain is <= 0 and nothing splits.
  for (std::size_t c = 0; c < 8; ++c) set(c, 2.0f, 1.0f);
  EXPECT_FALSE(find_best_multi_output_categorical_split(h, 0, 8, 0.0f, kEps));
  // NaN keys (zero denominators) are ordered deterministically and read nothing out of range.
  for (std::size_t c = 0; c < 8; ++c) set(c, c % 3 == 0 ? 1.0f : -1.0f, c % 2 == 0 ? -kEps : 1.0f);
  EXPECT_EQ(order_categories_by_output0(h, 0, 8, 0.0f, kEps), order_categories_by_output0(h, 0, 8, 0.0f, kEps));
}

TEST(MultiOutputHistogram, LeafKVectorsAreSoftThresholdedNewtonSteps) {
  const Rows rows = random_rows(200, 2, 5, 3);
  const MultiOutputHistogram h = histogram_of(rows, 6);
  for (const float lambda_l1 : {0.0f, 1.0f, 1e6f}) {
    const auto [left, right] = derive_kvec_leaves_from_threshold_histogram(h, 1, 1, 0.7f, 2.0f, kEps, lambda_l1);
    // Categories {0, 1} on the left are the threshold-1 split.
    const auto by_set = derive_kvec_leaves_from_categorical_histogram(h, 1, 0b00011, 5, 0.7f, 2.0f, kEps, lambda_l1);
    EXPECT_EQ(by_set, std::make_pair(left, right));
    for (std::size_t k = 0; k < 2; ++k) {
      double g[2] = {0, 0}, hs[2] = {0, 0};
      for (std::size_t i = 0; i < rows.bins.size(); ++i) {
        g[rows.bins[i] <= 1 ? 0 : 1] += rows.grads[i * 2 + k];
        hs[rows.bins[i] <= 1 ? 0 : 1] += rows.hess[i * 2 + k];
      }
      for (int side = 0; side < 2; ++side) {
        const double t = lambda_l1, shrunk = g[side] > t ? g[side] - t : (g[side] < -t ? g[side] + t : 0.0);
        EXPECT_NEAR(side == 0 ? left[k] : right[k], -shrunk / (2.0 + hs[side] + 1e-6), 1e-4) << k << side;
      }
    }
  }
}

TEST(MultiOutputMorphGain, BalancePenaltyAndRowCounts) {
  core::MorphConfig config;
  const core::MorphPrecomputed warm = core::MorphPrecomputed::for_iteration(0, config);  // penalty on
  const float base = (3.0f * 3.0f) / ((4.0f + 1.0f) + kEps) + (1.0f * 1.0f) / ((6.0f + 1.0f) + kEps) -
                     (4.0f * 4.0f) / ((10.0f + 1.0f) + kEps);
  struct Case {
    std::uint32_t n_left, n_right;
    double penalty;
  };
  for (const Case c : {Case{5, 95, 0.5 * (1.0 - std::exp(-0.5))}, Case{95, 5, 0.19673}, Case{10, 90, 0.0},
                       Case{0, 100, 0.0}, Case{0, 0, 0.0}}) {
    const float gain = morph_gain_per_output(c.n_left, c.n_right, warm, 0, 10, 3.0f, 4.0f, 1.0f, 6.0f, 1.0f, 0.2f,
                                             0.0f, 1.0f);
    EXPECT_NEAR(gain, base - c.penalty, 1e-5) << c.n_left << "/" << c.n_right;
  }
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const std::vector<std::pair<float, std::uint32_t>> counts = {{0.3f, 1},  {2.01f, 3}, {2.0f, 2},  {-1.0f, 0},
                                                               {0.0f, 0}, {nan, 0},   {inf, 0},   {1e30f, 4294967295u}};
  for (const auto& [hess, rows] : counts) EXPECT_EQ(morph_row_count(hess), rows) << hess;
}

TEST(MultiOutputMorphGain, WarmupScansEqualThePlainScans) {
  const MultiOutputHistogram h = histogram_of(random_rows(300, 2, 6, 41), 8);
  core::MorphConfig config;
  config.balance_penalty = false;
  const std::vector<core::GradientEmaStats> stats = {{0.1f, 2.0f, 0.05f}, {-0.3f, 0.5f, 0.05f}};
  const JointMorphContext warm = JointMorphContext::from_state(stats, config, 4, 10);
  EXPECT_EQ(warm.precomputed, (core::MorphPrecomputed{0.0f, 1.0f, 0.0f, true, false, true}));
  for (std::size_t t = 0; t < 7; ++t) {
    EXPECT_EQ(compute_multi_output_split_gain_morph(h, 1, t, warm, 0.5f), compute_multi_output_split_gain(h, 1, t, 0.5f, kEps));
  }
  // The morph subset search takes the parent as left + right, so its gain may differ in the last bit.
  const auto morph_split = find_best_multi_output_categorical_split_morph(h, 1, 6, 0.5f, kEps, warm);
  const auto plain_split = find_best_multi_output_categorical_split(h, 1, 6, 0.5f, kEps);
  ASSERT_TRUE(morph_split && plain_split);
  EXPECT_EQ(morph_split->mask, plain_split->mask);
  EXPECT_FLOAT_EQ(morph_split->gain, plain_split->gain);
  // From iteration 5 on the surprise term weighs in.
  const JointMorphContext late = JointMorphContext::from_state(stats, config, 5, 10);
  EXPECT_EQ(late.precomputed.progress, std::tanh(0.25f));
  EXPECT_NE(compute_multi_output_split_gain_morph(h, 1, 2, late, 0.5f), compute_multi_output_split_gain(h, 1, 2, 0.5f, kEps));
}

}  // namespace
}  // namespace kestrune::engine::joint

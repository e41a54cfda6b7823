#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <tuple>
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

// Float64 gradient and hessian sums of output k on each side of a row partition, and the gain.
std::array<double, 4> side_sums(const Rows& rows, auto goes_left, std::size_t k) {
  std::array<double, 4> sums{};  // left g, left h, right g, right h
  for (std::size_t i = 0; i < rows.bins.size(); ++i) {
    const std::size_t side = goes_left(rows.bins[i]) ? 0 : 2;
    sums[side] += rows.grads[i * rows.k + k], sums[side + 1] += rows.hess[i * rows.k + k];
  }
  return sums;
}
double reference_gain(const Rows& rows, auto goes_left, double lambda_l2) {
  double total = 0.0;
  for (std::size_t k = 0; k < rows.k; ++k) {
    const auto [gl, hl, gr, hr] = side_sums(rows, goes_left, k);
    auto s = [&](double gs, double hs) { return gs * gs / (lambda_l2 + hs + 1e-6); };
    total += s(gl, hl) + s(gr, hr) - s(gl + gr, hl + hr);
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
  // The leaves' K-vectors are soft-thresholded Newton steps; categories {0, 1} on the left are
  // the threshold-1 split.
  for (const float lambda_l1 : {0.0f, 1.0f, 1e6f}) {
    const auto [left, right] = derive_kvec_leaves_from_threshold_histogram(h, 1, 1, 0.7f, 2.0f, kEps, lambda_l1);
    const auto by_set = derive_kvec_leaves_from_categorical_histogram(h, 1, 0b11, 10, 0.7f, 2.0f, kEps, lambda_l1);
    EXPECT_EQ(by_set, std::make_pair(left, right));
    for (std::size_t k = 0; k < rows.k; ++k) {
      const auto sums = side_sums(rows, [](std::uint16_t b) { return b <= 1; }, k);
      for (int side = 0; side < 2; ++side) {
        const double g = sums[2 * side], t = lambda_l1, shrunk = g > t ? g - t : (g < -t ? g + t : 0.0);
        EXPECT_NEAR(side == 0 ? left[k] : right[k], -shrunk / (2.0 + sums[2 * side + 1] + 1e-6), 1e-4) << k << side;
      }
    }
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

TEST(MultiOutputMorphGain, BalancePenaltyAndRowCounts) {
  core::MorphConfig config;
  const core::MorphPrecomputed warm = engine::morph_precomputed_for_iteration(0, config);  // penalty on
  const float base = (3.0f * 3.0f) / ((4.0f + 1.0f) + kEps) + (1.0f * 1.0f) / ((6.0f + 1.0f) + kEps) -
                     (4.0f * 4.0f) / ((10.0f + 1.0f) + kEps);
  for (const auto& [n_left, n_right, penalty] : {std::tuple{5u, 95u, 0.5 * (1.0 - std::exp(-0.5))},
                                                std::tuple{95u, 5u, 0.19673}, std::tuple{10u, 90u, 0.0},
                                                std::tuple{0u, 100u, 0.0}, std::tuple{0u, 0u, 0.0}}) {
    const float gain = morph_gain_per_output(n_left, n_right, warm, 0, 10, 3.0f, 4.0f, 1.0f, 6.0f, 1.0f, 0.2f, 0.0f, 1.0f);
    EXPECT_NEAR(gain, base - penalty, 1e-5) << n_left << "/" << n_right;
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

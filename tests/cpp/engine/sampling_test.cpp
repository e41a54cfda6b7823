#include "engine/sampling.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "support/panic.hpp"

namespace kestrune::engine {
namespace {

// The hash written out again from its definition, independently of the code under test.
std::uint64_t mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}
constexpr std::uint64_t kGolden = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kIndexMult = 0xD6E8FD5089A47A4Dull;

// A full sort by (key, index), the k first, ascending.
std::vector<std::size_t> reference_sampled(std::size_t n, std::uint64_t seed, std::uint64_t round, std::size_t k) {
  const std::uint64_t round_key = mix((round * kGolden ^ seed) + kGolden);
  std::vector<std::pair<std::uint64_t, std::size_t>> keyed;
  for (std::size_t i = 0; i < n; ++i) keyed.push_back({mix(((i * kIndexMult) ^ round_key) + kGolden), i});
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::size_t> chosen;
  for (std::size_t j = 0; j < k; ++j) chosen.push_back(keyed[j].second);
  std::sort(chosen.begin(), chosen.end());
  return chosen;
}

// GOSS from its definition: full sorts, no selection.
struct ReferenceGoss {
  std::vector<std::uint32_t> top, others;
  float scale = 1.0f;
};
ReferenceGoss reference_goss(const std::vector<float>& values, std::uint64_t seed, std::uint64_t round, std::size_t top_n,
                             std::size_t other_n) {
  ReferenceGoss result;
  std::vector<std::uint32_t> order(values.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return std::fabs(values[a]) > std::fabs(values[b]); });
  result.top.assign(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(top_n));
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
  for (std::size_t j = top_n; j < order.size(); ++j) {
    keyed.push_back({mix(((order[j] * kIndexMult) ^ (round * kGolden ^ seed)) + kGolden), order[j]});
  }
  std::sort(keyed.begin(), keyed.end());
  for (std::size_t j = 0; j < other_n; ++j) result.others.push_back(keyed[j].second);
  std::sort(result.top.begin(), result.top.end());
  std::sort(result.others.begin(), result.others.end());
  if (other_n > 0) result.scale = static_cast<float>(order.size() - top_n) / static_cast<float>(other_n);
  return result;
}

TEST(SamplingMix, MatchesSplitMix64) {
  // The first output of the SplitMix64 generator seeded with 0 is mix(golden).
  EXPECT_EQ(splitmix64_mix(kGolden), 0xE220A8397B1DCDAFull);
  EXPECT_EQ(splitmix64_mix(0), 0u);
}

TEST(SamplingIndices, ReproduceTheKeyedDraw) {
  struct Case {
    std::size_t n;
    std::uint64_t seed;
    std::uint64_t round;
    float rate;
    std::size_t k;
  };
  for (const Case& c : {Case{1000, 7, 3, 0.25f, 250}, Case{1000, 0xFFFFFFFFFFFFFFFFull, 99, 0.8f, 800},
                        Case{37, 1, 5, 0.1f, 4}, Case{10, 5, 2, 0.0f, 1},
                        Case{10, 5, 2, std::numeric_limits<float>::quiet_NaN(), 1}}) {
    EXPECT_EQ(sampled_indices(c.n, c.seed, c.round, c.rate), reference_sampled(c.n, c.seed, c.round, c.k))
        << c.n << " " << c.seed << " " << c.round << " " << c.rate;
  }
  // Values written down once from the definition (computed apart from this code base), to pin
  // the hash itself and not only the agreement of two readings of it.
  EXPECT_EQ(sampled_indices(10, 42, 0, 0.5f), (std::vector<std::size_t>{3, 4, 5, 6, 8}));
  EXPECT_EQ(sampled_indices(20, 2024, 7, 0.3f), (std::vector<std::size_t>{4, 5, 14, 16, 17, 18}));
  // Rates whose count reaches every row draw them all.
  std::vector<std::size_t> all(10);
  std::iota(all.begin(), all.end(), std::size_t{0});
  EXPECT_EQ(sampled_indices(10, 1, 1, 0.95f), all);  // ceil(9.5) = 10
  EXPECT_EQ(sampled_indices(10, 1, 1, std::numeric_limits<float>::infinity()), all);
  EXPECT_TRUE(sampled_indices(0, 1, 1, 0.5f).empty());
}

TEST(SamplingIndices, AFullRateKeepsEveryRowAboveTwoToTheTwentyFour) {
  // n = 2^24 + 1 is not a float32 (it rounds down to 2^24); rate 1.0 still keeps every row, for
  // plain subsampling and for GOSS alike.
  const std::size_t n = (std::size_t{1} << 24) + 1;
  EXPECT_EQ(sampled_indices(n, 3, 0, 1.0f).size(), n);
  const std::vector<float> magnitudes(n, 1.0f);
  const GossSample goss = goss_sample_indices(magnitudes, 3, 0, 1.0f, 0.5f);
  EXPECT_EQ(goss.top.size(), n);
  EXPECT_TRUE(goss.others.empty());
}

TEST(SamplingSeed, DeterministicKeepsTheSeedOtherwiseTheClockMixesIn) {
  EXPECT_EQ(sampling_seed_base(12345, true), 12345u);
  EXPECT_NE(sampling_seed_base(12345, false), 12345u);
}

TEST(SamplingGoss, ReproducesTheDefinitionOnRandomValues) {
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 60; ++trial) {
    const std::size_t n = 1 + rng() % 200;
    std::vector<float> values(n);
    // Few distinct magnitudes, both signs: many ties.
    for (float& v : values) v = static_cast<float>(static_cast<int>(rng() % 9) - 4) * 0.5f;
    const float top_rate = static_cast<float>(rng() % 50) / 100.0f;
    const float other_rate = static_cast<float>(rng() % 50) / 100.0f;
    const std::uint64_t seed = rng(), round = rng() % 100;
    const float count = static_cast<float>(n);
    const std::size_t top_wanted = std::max<std::size_t>(static_cast<std::size_t>(std::ceil(top_rate * count)), 1);
    const std::size_t top_n = std::min(top_wanted, n);
    const std::size_t other_n = std::min(n - top_n, static_cast<std::size_t>(std::ceil(other_rate * count)));
    const GossSample sample = goss_sample_indices(values, seed, round, top_rate, other_rate);
    if (top_wanted >= n) {
      EXPECT_EQ(sample.top.size(), n);
      EXPECT_TRUE(sample.others.empty());
      EXPECT_EQ(sample.scale, 1.0f);
      continue;
    }
    const ReferenceGoss expected = reference_goss(values, seed, round, top_n, other_n);
    EXPECT_EQ(sample.top, expected.top) << trial;
    EXPECT_EQ(sample.others, expected.others) << trial;
    EXPECT_EQ(sample.scale, expected.scale) << trial;
  }
}

TEST(SamplingGoss, TiesGoToTheSmallerIndexAndNaNStaysSafe) {
  const GossSample tie = goss_sample_indices(std::vector<float>{1.0f, -3.0f, 3.0f, 2.0f}, 1, 1, 0.25f, 0.0f);
  EXPECT_EQ(tie.top, (std::vector<std::uint32_t>{1}));

  const float nan = std::numeric_limits<float>::quiet_NaN();
  const GossSample with_nan = goss_sample_indices(std::vector<float>{1.0f, nan, 5.0f, nan, 0.5f, 2.0f}, 1, 1, 0.5f, 0.5f);
  EXPECT_EQ(with_nan.top.size(), 3u);
  EXPECT_EQ(with_nan.others.size(), 3u);
  std::vector<std::uint32_t> all = with_nan.top;
  all.insert(all.end(), with_nan.others.begin(), with_nan.others.end());
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5}));
}

TEST(SamplingRoundRows, GossRescalesOnlyTheDrawnRows) {
  std::vector<core::GradientPair> gradients;
  for (int i = 0; i < 10; ++i) gradients.push_back({i == 3 ? -9.0f : (i == 7 ? 8.0f : 0.1f * i), 1.0f});
  const std::vector<core::GradientPair> before = gradients;
  const core::BoostingMode goss = core::GossBoosting{0.2f, 0.1f};
  const core::RowList rows = select_row_indices_for_round(goss, 10, 5, 2, gradients, 1.0f);
  // The two largest magnitudes, and one drawn row of the other eight, which carries 8 times its pair.
  ASSERT_EQ(rows.size(), 3u);
  const std::uint32_t drawn = rows[0] != 3 ? rows[0] : (rows[1] != 7 ? rows[1] : rows[2]);
  EXPECT_TRUE(std::find(rows.begin(), rows.end(), 3u) != rows.end());
  EXPECT_TRUE(std::find(rows.begin(), rows.end(), 7u) != rows.end());
  for (std::uint32_t i = 0; i < 10; ++i) {
    const float factor = i == drawn ? 8.0f : 1.0f;
    EXPECT_EQ(gradients[i].grad, before[i].grad * factor);
    EXPECT_EQ(gradients[i].hess, before[i].hess * factor);
  }
}

TEST(SamplingRoundRows, PlainModesSubsample) {
  std::vector<core::GradientPair> gradients(100, {1.0f, 1.0f});
  for (const core::BoostingMode& mode : {core::BoostingMode{core::StandardBoosting{}},
                                         core::BoostingMode{core::DartBoosting{}}}) {
    const core::RowList rows = select_row_indices_for_round(mode, 100, 17, 3, gradients, 0.3f);
    // 0.3f * 100 rounds to 30.000002 in float32: its ceiling is 31 rows, not 30.
    const std::vector<std::size_t> expected = reference_sampled(100, 17, 3, 31);
    EXPECT_EQ(rows, core::RowList(expected.begin(), expected.end()));
  }
}

TEST(SamplingRoundRows, MulticlassGossRanksBySummedMagnitudes) {
  // Row 2 has the largest summed magnitude though no single class makes it the largest.
  std::vector<std::vector<core::GradientPair>> per_class{
      {{0.1f, 1.0f}, {-0.9f, 1.0f}, {0.6f, 1.0f}, {0.0f, 1.0f}},
      {{0.1f, 1.0f}, {0.0f, 1.0f}, {-0.6f, 1.0f}, {0.2f, 1.0f}},
  };
  const core::RowList rows = select_row_indices_for_round_multiclass(
      core::GossBoosting{0.25f, 0.25f}, 4, 3, 1, per_class, 1.0f);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(std::find(rows.begin(), rows.end(), 2u) != rows.end());
  const std::uint32_t drawn = rows[0] == 2 ? rows[1] : rows[0];
  for (const auto& gradients : per_class) EXPECT_EQ(gradients[drawn].hess, 3.0f);
  for (const auto& gradients : per_class) EXPECT_EQ(gradients[2].hess, 1.0f);  // a top row keeps its pair

  std::vector<std::vector<core::GradientPair>> none;
  EXPECT_THROW(select_row_indices_for_round_multiclass(core::GossBoosting{0.2f, 0.1f}, 4, 3, 1, none, 1.0f),
               support::Panic);
}

}  // namespace
}  // namespace kestrune::engine

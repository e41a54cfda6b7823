#include "engine/dart.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "engine_test_support.hpp"
#include "support/panic.hpp"

namespace kestrune::engine {
namespace {

using core::DartSampleType;
using testing_support::throws_engine_error;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// The draw written out from its definition: the finaliser without its last step.
float reference_key(std::uint64_t seed, std::uint64_t iteration, std::uint64_t i) {
  std::uint64_t z = ((i * 0xD6E8FD5089A47A4Dull) ^ (iteration * 0x9E3779B97F4A7C15ull) ^ seed) + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<float>(z >> 40) / 16777216.0f;
}

// select_dropouts from its definition, with full sorts.
std::vector<std::size_t> reference_dropouts(std::size_t n, std::size_t max_drop, DartSampleType type,
                                            const std::vector<float>& weights, std::uint64_t seed,
                                            std::uint64_t iteration, float rate) {
  if (n == 0 || !(rate > 0.0f) || max_drop == 0) return {};
  std::vector<std::pair<float, std::size_t>> chosen;
  float total = 0.0f;
  for (std::size_t j = 0; j < std::min(weights.size(), n); ++j) total += std::fabs(weights[j]);
  for (std::size_t i = 0; i < n; ++i) {
    const float key = reference_key(seed, iteration, i);
    float threshold = rate;
    if (type == DartSampleType::Weighted) {
      if (weights.empty() || total <= 0.0f) continue;
      const float p = std::fabs(weights[i]) / total * (rate * static_cast<float>(n));
      threshold = std::isnan(p) ? 1.0f : std::min(1.0f, p);
    }
    if (key < threshold) chosen.push_back({key, i});
  }
  if (chosen.empty()) {
    std::vector<std::pair<float, std::size_t>> all;
    for (std::size_t i = 0; i < n; ++i) all.push_back({reference_key(seed, iteration, i), i});
    return {std::min_element(all.begin(), all.end())->second};
  }
  std::sort(chosen.begin(), chosen.end());  // by key, then index
  if (chosen.size() > max_drop) chosen.resize(max_drop);
  std::vector<std::size_t> result;
  for (const auto& entry : chosen) result.push_back(entry.second);
  std::sort(result.begin(), result.end());
  return result;
}

TEST(DartSelectDropouts, AgreesWithTheDefinitionOverManyDraws) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  const float no_rates[] = {-0.0f, kNaN, -std::numeric_limits<float>::infinity()};
  for (int trial = 0; trial < 400; ++trial) {
    const std::size_t n = trial % 41 == 0 ? 0 : 1 + rng() % 40;
    const std::size_t max_drop = trial % 37 == 0 ? 0 : 1 + rng() % 6;
    const DartSampleType type = trial % 2 == 0 ? DartSampleType::Uniform : DartSampleType::Weighted;
    float rate = trial % 5 == 0 ? 0.999f : (trial % 7 == 0 ? 1e-6f : unit(rng));
    if (trial % 19 == 0) rate = no_rates[trial % 3];
    std::vector<float> weights(n);
    for (float& w : weights) w = (trial % 11 == 0) ? 0.0f : unit(rng) - 0.2f;  // some negative: |w| counts
    if (n > 0 && trial % 13 == 0) weights[n / 2] = kNaN;  // every share NaN: counts as 1, all trees are candidates
    if (n > 0 && trial % 17 == 0) weights[n - 1] = -50.0f * static_cast<float>(n);  // a dominant tree: share 1
    if (trial % 23 == 0) weights.clear();  // no weights: the smallest key alone
    const std::uint64_t seed = rng();
    const std::uint64_t iteration = rng() % 1000;
    const std::vector<std::size_t> got = select_dropouts(n, max_drop, type, weights, seed, iteration, rate);
    ASSERT_EQ(got, reference_dropouts(n, max_drop, type, weights, seed, iteration, rate)) << "trial " << trial;
    ASSERT_EQ(got.empty(), n == 0 || max_drop == 0 || !(rate > 0.0f)) << "trial " << trial;
  }
  // Weights shorter than the tree list are a caller's bug.
  EXPECT_THROW(select_dropouts(5, 2, DartSampleType::Weighted, std::vector<float>{1.0f, 1.0f}, 1, 1, 0.5f),
               support::Panic);
}

TrainedStump stump_of_tree(std::uint32_t tree, std::uint32_t local = 0) {
  TrainedStump stump;
  stump.node_id = (tree << 20) | local;
  return stump;
}

TEST(DartTreeList, TreeRunsPadAndRefuseTreesOutOfOrder) {
  const std::vector<TrainedStump> stumps{stump_of_tree(1), stump_of_tree(1, 2)};
  const std::vector<TreeRun> runs = tree_runs_by_index(stumps, 4);
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[1].size, 2u);
  EXPECT_EQ(runs[3].offset, 2u);
  EXPECT_EQ(runs[3].size, 0u);

  const std::vector<TrainedStump> split{stump_of_tree(0), stump_of_tree(1), stump_of_tree(0, 1)};
  EXPECT_TRUE(throws_engine_error([&] { tree_runs_by_index(split); }, EngineErrorKind::ContractViolation,
                                  "trees are out of order: tree index 0 follows tree index 1"));
}

}  // namespace
}  // namespace kestrune::engine

#include "engine/dart.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "engine/sampling.hpp"
#include "engine_test_support.hpp"
#include "support/panic.hpp"

namespace kestrune::engine {
namespace {

using core::DartNormalizeType;
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

TEST(DartDrawKey, MatchesItsDefinitionAndTheTopBitsOfTheFullFinaliser) {
  for (std::uint64_t seed : {0ull, 0xFFFFFFFFFFFFFFFFull}) {
    for (std::uint64_t i : {0ull, 5ull, 4095ull}) {
      const float key = dart_draw_key(seed, 977, i);
      EXPECT_EQ(key, reference_key(seed, 977, i));
      // The full SplitMix64 finaliser (GOSS's key for index i) has the same top 24 bits.
      const std::uint64_t z = ((i * 0xD6E8FD5089A47A4Dull) ^ (977 * 0x9E3779B97F4A7C15ull) ^ seed) +
                              0x9E3779B97F4A7C15ull;
      EXPECT_EQ(key, static_cast<float>(splitmix64_mix(z) >> 40) / 16777216.0f);
    }
  }
}

TEST(DartSelectDropouts, NothingToDropGivesAnEmptyList) {
  const std::vector<float> weights(4, 1.0f);
  EXPECT_TRUE(select_dropouts(0, 3, DartSampleType::Uniform, {}, 1, 1, 0.5f).empty());
  EXPECT_TRUE(select_dropouts(4, 0, DartSampleType::Uniform, weights, 1, 1, 0.5f).empty());
  for (float rate : {-0.0f, kNaN, -std::numeric_limits<float>::infinity()}) {
    EXPECT_TRUE(select_dropouts(4, 3, DartSampleType::Weighted, weights, 1, 1, rate).empty()) << rate;
  }
}

TEST(DartSelectDropouts, AgreesWithTheDefinitionOverManyDraws) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (int trial = 0; trial < 400; ++trial) {
    const std::size_t n = 1 + rng() % 40;
    const std::size_t max_drop = 1 + rng() % 6;
    const DartSampleType type = trial % 2 == 0 ? DartSampleType::Uniform : DartSampleType::Weighted;
    const float rate = trial % 5 == 0 ? 0.999f : (trial % 7 == 0 ? 1e-6f : unit(rng));
    std::vector<float> weights(n);
    for (float& w : weights) w = (trial % 11 == 0) ? 0.0f : unit(rng) - 0.2f;  // some negative: |w| counts
    if (trial % 13 == 0) weights[n / 2] = kNaN;  // every share NaN: counts as 1, all trees are candidates
    if (trial % 17 == 0) weights[n - 1] = -50.0f * static_cast<float>(n);  // a dominant tree: share 1
    const std::uint64_t seed = rng();
    const std::uint64_t iteration = rng() % 1000;
    const std::vector<std::size_t> got = select_dropouts(n, max_drop, type, weights, seed, iteration, rate);
    ASSERT_EQ(got, reference_dropouts(n, max_drop, type, weights, seed, iteration, rate)) << "trial " << trial;
    ASSERT_FALSE(got.empty());
  }
}

// The same comparison with the edge inputs mixed into the draws: no trees, no drops allowed, rates
// that select nothing, and no weights at all under either sample type.
TEST(DartSelectDropouts, AgreesWithTheDefinitionOnEdgeDraws) {
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
    for (float& w : weights) w = (trial % 11 == 0) ? 0.0f : unit(rng) - 0.2f;
    if (n > 0 && trial % 13 == 0) weights[n / 2] = kNaN;
    if (n > 0 && trial % 17 == 0) weights[n - 1] = -50.0f * static_cast<float>(n);
    if (trial % 23 == 0) weights.clear();  // no weights: the smallest key alone
    const std::uint64_t seed = rng();
    const std::uint64_t iteration = rng() % 1000;
    const std::vector<std::size_t> got = select_dropouts(n, max_drop, type, weights, seed, iteration, rate);
    ASSERT_EQ(got, reference_dropouts(n, max_drop, type, weights, seed, iteration, rate)) << "trial " << trial;
    ASSERT_EQ(got.empty(), n == 0 || max_drop == 0 || !(rate > 0.0f)) << "trial " << trial;
  }
}

TEST(DartSelectDropouts, EmptyWeightsFallBackToTheSmallestKeyButShortOnesAreABug) {
  std::size_t smallest = 0;
  for (std::size_t i = 1; i < 30; ++i) {
    if (dart_draw_key(9, 4, i) < dart_draw_key(9, 4, smallest)) smallest = i;
  }
  EXPECT_EQ(select_dropouts(30, 5, DartSampleType::Weighted, {}, 9, 4, 0.5f), std::vector<std::size_t>{smallest});
  EXPECT_THROW(select_dropouts(5, 2, DartSampleType::Weighted, std::vector<float>{1.0f, 1.0f}, 1, 1, 0.5f),
               support::Panic);
}

TEST(DartNormalization, RoundScaleForEachDropCount) {
  struct Case {
    DartNormalizeType type;
    std::size_t k;
    float dropped_factor, new_weight;
  };
  const Case cases[] = {
      {DartNormalizeType::Tree, 0, 0.0f, 1.0f},   {DartNormalizeType::Forest, 0, 1.0f, 1.0f},
      {DartNormalizeType::Tree, 2, 2.0f / 3.0f, 1.0f / 3.0f}, {DartNormalizeType::Forest, 2, 1.0f / 3.0f, 1.0f / 3.0f},
      {DartNormalizeType::Tree, 3, 0.75f, 0.25f}, {DartNormalizeType::Forest, 3, 0.25f, 0.25f},
  };
  for (const Case& c : cases) {
    const DartRoundScale scale = dart_round_scale(c.k, c.type);
    EXPECT_EQ(scale.dropped_factor, c.dropped_factor) << c.k;
    EXPECT_EQ(scale.new_tree_weight, c.new_weight) << c.k;
  }
}

TEST(DartNormalization, NewIndexInsideOverwritesAndDroppedIndicesBeyondAreSkipped) {
  std::vector<float> weights{1.0f, 1.0f, 7.0f};
  apply_normalization(weights, std::vector<std::size_t>{0, 9}, DartNormalizeType::Tree, 2);
  EXPECT_EQ(weights, (std::vector<float>{2.0f / 3.0f, 1.0f, 1.0f / 3.0f}));
  // At or far beyond the end, exactly one weight is appended.
  apply_normalization(weights, {}, DartNormalizeType::Tree, 40);
  EXPECT_EQ(weights, (std::vector<float>{2.0f / 3.0f, 1.0f, 1.0f / 3.0f, 1.0f}));
}

TrainedStump stump_of_tree(std::uint32_t tree, std::uint32_t local = 0) {
  TrainedStump stump;
  stump.node_id = (tree << 20) | local;
  return stump;
}

TEST(DartTreeList, WarmStartTreesArePlacedByTreeIndex) {
  // Trees 0 (two stumps), 2 and 3; no tree 1 (a round skipped without a tree).
  const std::vector<TrainedStump> stumps{stump_of_tree(0), stump_of_tree(0, 1), stump_of_tree(2), stump_of_tree(3)};
  const std::vector<float> per_stump{0.5f, 0.5f, 0.25f, 0.125f};
  const DartTreeList list = dart_tree_list_from_warm_start(stumps, per_stump);
  EXPECT_EQ(list.state.tree_weights, (std::vector<float>{0.5f, 1.0f, 0.25f, 0.125f}));
  EXPECT_EQ(dart_tree_stumps(list, stumps, 0).size(), 2u);
  EXPECT_TRUE(dart_tree_stumps(list, stumps, 1).empty());
  EXPECT_EQ(dart_tree_stumps(list, stumps, 2).data(), &stumps[2]);
  EXPECT_EQ(dart_tree_stumps(list, stumps, 3).data(), &stumps[3]);
  EXPECT_THROW(dart_tree_stumps(list, stumps, 4), support::Panic);

  // The weights written back land on the trees they came from.
  std::vector<TrainedStump> written = stumps;
  written.push_back(stump_of_tree(7));
  written.back().tree_weight = 0.75f;
  write_dart_weights_into_stumps(written, list.weights());
  EXPECT_EQ(written[1].tree_weight, 0.5f);
  EXPECT_EQ(written[3].tree_weight, 0.125f);
  EXPECT_EQ(written[4].tree_weight, 0.75f);  // beyond the list: kept

  // With too few stored weights, a tree without one starts at 1.0.
  EXPECT_EQ(dart_tree_list_from_warm_start(stumps, std::vector<float>{0.5f, 0.5f, 0.25f}).state.tree_weights,
            (std::vector<float>{0.5f, 1.0f, 0.25f, 1.0f}));
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

TEST(DartTreeList, RecordFillsSkippedPositionsAndPlacesTheTreeAtItsIteration) {
  DartTreeList list;
  record_dart_tree(list, 0, {}, {}, 1.0f, 0, 3);
  // Iteration 1 was skipped; iteration 2 drops tree 0.
  const std::vector<std::size_t> dropped{0};
  record_dart_tree(list, 2, dropped, std::vector<float>{0.5f}, 0.5f, 3, 2);
  EXPECT_EQ(list.state.tree_weights, (std::vector<float>{0.5f, 1.0f, 0.5f}));
  EXPECT_EQ(list.state.dropped_sets, (std::vector<std::vector<std::size_t>>{{}, {}, {0}}));
  EXPECT_EQ(list.runs[1].size, 0u);
  EXPECT_EQ(list.runs[2].offset, 3u);
  EXPECT_EQ(list.runs[2].size, 2u);
  EXPECT_THROW(record_dart_tree(list, 2, {}, {}, 1.0f, 5, 1), support::Panic);
  EXPECT_THROW(record_dart_tree(list, 4, std::vector<std::size_t>{9}, std::vector<float>{1.0f}, 1.0f, 5, 1),
               support::Panic);
}

// A loop-shaped run: warm-start trees (with a gap), skipped rounds, random drops. Cutting back to
// B accepted rounds must give exactly the weights the run had right after its B-th accepted round.
TEST(DartTreeList, TruncationRestoresTheWeightsAfterTheKeptRound) {
  for (DartNormalizeType type : {DartNormalizeType::Tree, DartNormalizeType::Forest}) {
    for (bool warm : {false, true}) {
      std::vector<TrainedStump> stumps;
      std::optional<std::vector<float>> stored;
      std::uint64_t iteration = 0;
      if (warm) {
        stumps = {stump_of_tree(0), stump_of_tree(2), stump_of_tree(2, 1)};
        stored = std::vector<float>{0.6f, 0.3f, 0.3f};
        iteration = 4;  // the earlier model ran four rounds
      }
      DartTreeList list = dart_tree_list_from_warm_start(stumps, stored);
      const std::vector<float> set_up = list.state.tree_weights;
      std::vector<std::vector<float>> after_round;
      for (int round = 0; round < 12; ++round, ++iteration) {
        if (round % 4 == 2) continue;  // skipped without a tree
        const std::vector<std::size_t> dropped = select_dropouts(list.size(), 3, DartSampleType::Uniform,
                                                                 list.weights(), 21, iteration, 0.4f);
        const DartRoundScale scale = dart_round_scale(dropped.size(), type);
        std::vector<float> new_weights;
        for (std::size_t d : dropped) new_weights.push_back(scale.dropped_factor * list.state.tree_weights[d]);
        record_dart_tree(list, iteration, dropped, new_weights, scale.new_tree_weight, stumps.size(), 1);
        stumps.push_back(stump_of_tree(static_cast<std::uint32_t>(iteration)));
        after_round.push_back(list.state.tree_weights);
      }
      const DartTreeList full = list;
      for (std::size_t kept = 0; kept <= after_round.size(); ++kept) {
        DartTreeList cut = full;
        renormalize_dart_after_truncation(cut, kept, type);
        const std::vector<float>& expected = kept == 0 ? set_up : after_round[kept - 1];
        EXPECT_EQ(cut.state.tree_weights, expected) << "kept " << kept << " warm " << warm;
        EXPECT_EQ(cut.runs.size(), expected.size());
      }
      // Asking for more rounds than were grown keeps every entry.
      DartTreeList all = full;
      renormalize_dart_after_truncation(all, after_round.size() + 5, type);
      EXPECT_EQ(all.state.tree_weights, after_round.back());
    }
  }
}

}  // namespace
}  // namespace kestrune::engine

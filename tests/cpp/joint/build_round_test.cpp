#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "core/binned.hpp"
#include "core/config.hpp"
#include "engine/joint/build_round.hpp"
#include "engine/joint/leaf_heap.hpp"
#include "joint_test_support.hpp"

namespace kestrune::engine::joint {
namespace {

using Gradients = std::vector<std::vector<core::GradientPair>>;

struct Problem {
  core::BinnedMatrix binned;
  Gradients gradients;
};

// Random rows over `features` features with bins 0..max_bin (some missing) and K outputs whose
// gradients depend on the features, so several features carry signal.
Problem random_problem(std::size_t rows, std::size_t features, std::size_t outputs, std::uint16_t max_bin,
                       std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> bin(0, max_bin);
  std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
  std::vector<std::uint8_t> bins(rows * features);
  for (std::size_t i = 0; i < bins.size(); ++i) bins[i] = rng() % 17 == 0 ? 255 : static_cast<std::uint8_t>(bin(rng));
  Gradients gradients(outputs, std::vector<core::GradientPair>(rows));
  for (std::size_t k = 0; k < outputs; ++k) {
    for (std::size_t r = 0; r < rows; ++r) {
      const float signal = bins[r * features + (k % features)] < max_bin / 2 ? -1.0f : 1.0f;
      gradients[k][r] = core::GradientPair{signal + 0.5f * noise(rng), 0.5f + 0.5f * (noise(rng) + 1.0f)};
    }
  }
  return {core::BinnedMatrix::make(rows, features, max_bin, bins), std::move(gradients)};
}

// The root split by brute force in float64: every (feature, threshold) whose two sides (missing
// rows joining the larger side) keep min_rows rows, scored by the summed second-order gain.
struct Reference {
  double gain = 0.0;
  std::uint32_t feature = 0;
  std::uint16_t threshold = 0;
};
Reference brute_force_root(const Problem& p, std::uint32_t min_rows, float lambda_l2) {
  const std::size_t rows = p.binned.row_count, features = p.binned.feature_count, outputs = p.gradients.size();
  auto score = [&](double g, double h) { return g * g / (h + lambda_l2 + 1e-6); };
  Reference best{-1.0, 0, 0};
  for (std::uint32_t f = 0; f < features; ++f) {
    for (std::uint16_t t = 0; t < std::min<std::uint16_t>(p.binned.max_bin, 254); ++t) {
      std::size_t left = 0, right = 0, missing = 0;
      for (std::size_t r = 0; r < rows; ++r) {
        const std::uint16_t b = p.binned.bins.at(r * features + f);
        (b == 255 ? missing : (b <= t ? left : right)) += 1;
      }
      (left >= right ? left : right) += missing;
      if (left < min_rows || right < min_rows) continue;
      double gain = 0.0;
      for (std::size_t k = 0; k < outputs; ++k) {
        double gl = 0, hl = 0, gr = 0, hr = 0;
        for (std::size_t r = 0; r < rows; ++r) {
          const std::uint16_t b = p.binned.bins.at(r * features + f);
          // The gain scores the missing bin on the right, whatever side its rows end on.
          if (b <= t) {
            gl += p.gradients[k][r].grad, hl += p.gradients[k][r].hess;
          } else {
            gr += p.gradients[k][r].grad, hr += p.gradients[k][r].hess;
          }
        }
        gain += score(gl, hl) + score(gr, hr) - score(gl + gr, hl + hr);
      }
      if (gain > best.gain) best = {gain, f, t};
    }
  }
  return best;
}

core::TrainParams params_with(std::uint16_t depth, std::uint32_t min_rows) {
  core::TrainParams params;
  params.max_depth = depth;
  params.min_data_in_leaf = min_rows;
  params.lambda_l2 = 1.0f;
  return params;
}

TEST(JointRoundBuilders, RootSplitMaximisesTheSummedGainAmongAdmissibleSplits) {
  // Seeds x min_data_in_leaf; large minimums rule out the unconstrained best split, which the
  // search must then replace by the best admissible one rather than give up.
  for (std::uint32_t seed : {1u, 2u, 3u, 4u}) {
    for (std::uint32_t min_rows : {1u, 30u, 50u, 55u}) {
      const Problem p = random_problem(120, 3, 3, 12, seed);
      const core::TrainParams params = params_with(1, min_rows);
      const JointRoundRequest request{params, p.binned, p.gradients, 3, {}, 0};
      const Reference reference = brute_force_root(p, min_rows, params.lambda_l2);
      for (const bool leafwise : {false, true}) {
        const std::vector<TrainedStump> stumps =
            leafwise ? build_joint_round_leafwise(request, 8) : build_joint_round_inner(request);
        if (reference.gain <= 0.0) {
          EXPECT_TRUE(stumps.empty()) << seed << " " << min_rows;  // no admissible split: the root stays a leaf
          continue;
        }
        ASSERT_EQ(stumps.size(), 1u) << seed << " " << min_rows;
        EXPECT_EQ(stumps[0].feature_index, reference.feature) << seed << " " << min_rows;
        EXPECT_EQ(stumps[0].split_bin, reference.threshold) << seed << " " << min_rows;
        EXPECT_NEAR(stumps[0].gain, reference.gain, 1e-3 * reference.gain);
        EXPECT_GE(stumps[0].left_stats.count, min_rows);
        EXPECT_GE(stumps[0].right_stats.count, min_rows);
        EXPECT_EQ(stumps[0].multi_output->left.size(), 3u);
      }
    }
  }
}

TEST(JointRoundBuilders, MinimumRowsHoldExactlyAtTheBoundary) {
  // One feature: `strong` rows with a large gradient sit in the lowest bin (left of every
  // threshold) or the highest (right of every threshold), the other 36 rows spread over the bins
  // between. Isolating the strong rows is the best split; it is admissible only when they number
  // min_data_in_leaf, otherwise the search must settle for the best split that keeps enough rows.
  constexpr std::uint32_t kMinRows = 5;
  for (const bool high : {false, true}) {
    for (const std::uint32_t strong : {kMinRows - 1, kMinRows}) {
      const std::size_t rows = strong + 36;
      std::vector<std::uint8_t> bins(rows);
      Gradients gradients(2, std::vector<core::GradientPair>(rows));
      for (std::size_t r = 0; r < rows; ++r) {
        const bool is_strong = r < strong;
        const int low_bin = is_strong ? 0 : 1 + static_cast<int>(r % 8);
        bins[r] = static_cast<std::uint8_t>(high ? 9 - low_bin : low_bin);
        const float g = is_strong ? 4.0f : (r % 3 == 0 ? 0.6f : -0.3f);
        gradients[0][r] = {g, 1.0f};
        gradients[1][r] = {-0.5f * g, 1.0f};
      }
      const Problem p{core::BinnedMatrix::make(rows, 1, 9, bins), gradients};
      const core::TrainParams params = params_with(1, kMinRows);
      const Reference reference = brute_force_root(p, kMinRows, params.lambda_l2);
      ASSERT_GT(reference.gain, 0.0);
      const JointRoundRequest request{params, p.binned, p.gradients, 2, {}, 0};
      for (const bool leafwise : {false, true}) {
        const std::vector<TrainedStump> stumps =
            leafwise ? build_joint_round_leafwise(request, 4) : build_joint_round_inner(request);
        ASSERT_EQ(stumps.size(), 1u) << high << " " << strong << " " << leafwise;
        EXPECT_EQ(stumps[0].split_bin, reference.threshold) << high << " " << strong << " " << leafwise;
        const std::uint32_t smaller = std::min(stumps[0].left_stats.count, stumps[0].right_stats.count);
        EXPECT_EQ(smaller == strong, strong == kMinRows) << high << " " << strong << " " << leafwise;
        EXPECT_GE(smaller, kMinRows);
      }
    }
  }
}

TEST(JointRoundBuilders, DepthLimitOfBothBuilders) {
  // Splits sit at depths 0 .. max(max_depth, 1) - 1; level-wise growth emits them level by level,
  // left before right within a level.
  const Problem p = random_problem(400, 4, 2, 30, 8);
  auto level_of = [](std::uint32_t id) { return static_cast<std::uint32_t>(std::bit_width(id + 1u)); };
  for (const std::uint16_t depth : {0, 1, 2, 3}) {
    const core::TrainParams params = params_with(depth, 5);
    const JointRoundRequest request{params, p.binned, p.gradients, 2, {}, 0};
    const std::uint32_t limit = std::max<std::uint32_t>(depth, 1);
    for (const bool leafwise : {false, true}) {
      const std::vector<TrainedStump> stumps =
          leafwise ? build_joint_round_leafwise(request, 1000) : build_joint_round_inner(request);
      std::uint32_t deepest = 0;
      for (std::size_t i = 0; i < stumps.size(); ++i) {
        deepest = std::max(deepest, level_of(stumps[i].node_id));
        if (i > 0 && !leafwise) {
          EXPECT_LT(stumps[i - 1].node_id, stumps[i].node_id) << depth;
        }
      }
      EXPECT_EQ(deepest, limit) << depth << " " << leafwise;  // the data splits down to the limit
    }
  }
}

TEST(JointRoundBuilders, EqualGainsKeepTheEarlierCandidate) {
  // Feature 1 copies feature 0 and only bins 0 and 5 occur, so both features and thresholds 0..4
  // share the best gain: the lower feature and the lower threshold win.
  std::vector<std::uint8_t> bins(2 * 40);
  Gradients gradients(1, std::vector<core::GradientPair>(40));
  for (std::size_t r = 0; r < 40; ++r) {
    bins[2 * r] = bins[2 * r + 1] = r % 2 == 0 ? 0 : 5;
    gradients[0][r] = {r % 2 == 0 ? 1.0f : -1.0f, 1.0f};
  }
  const core::BinnedMatrix binned = core::BinnedMatrix::make(40, 2, 9, bins);
  const core::TrainParams params = params_with(1, 1);
  for (const bool leafwise : {false, true}) {
    const JointRoundRequest request{params, binned, gradients, 1, {}, 0};
    const std::vector<TrainedStump> stumps =
        leafwise ? build_joint_round_leafwise(request, 2) : build_joint_round_inner(request);
    ASSERT_EQ(stumps.size(), 1u);
    EXPECT_EQ(stumps[0].feature_index, 0u);
    EXPECT_EQ(stumps[0].split_bin, 0u);
  }

  // Rows 40..79 mirror rows 0..39 (negated gradients, feature 0 tells them apart), so the root's
  // two children have bit-identical gains: with room for one more split, the left child, pushed
  // first, is split; level-wise growth splits both, left first.
  const Problem half = random_problem(40, 3, 2, 9, 9);
  std::vector<std::uint8_t> mirrored(80 * 3);
  Gradients mirror_gradients(2, std::vector<core::GradientPair>(80));
  for (std::size_t r = 0; r < 80; ++r) {
    const std::size_t source = r % 40;
    mirrored[r * 3] = r < 40 ? 0 : 1;
    for (std::size_t f = 1; f < 3; ++f) {
      const std::uint16_t b = half.binned.bins.at(source * 3 + f);
      mirrored[r * 3 + f] = b == 255 ? 2 : static_cast<std::uint8_t>(b);  // no missing rows
    }
    for (std::size_t k = 0; k < 2; ++k) {
      const core::GradientPair pair = half.gradients[k][source];
      // An offset makes the halves' sums differ, so the root splits them apart.
      const float grad = pair.grad + 3.0f;
      mirror_gradients[k][r] = {r < 40 ? grad : -grad, pair.hess};
    }
  }
  const core::BinnedMatrix mirror = core::BinnedMatrix::make(80, 3, 9, mirrored);
  const core::TrainParams deep = params_with(2, 3);
  const JointRoundRequest request{deep, mirror, mirror_gradients, 2, {}, 0};
  const std::vector<TrainedStump> level = build_joint_round_inner(request);
  ASSERT_EQ(level.size(), 3u);
  EXPECT_EQ(level[0].feature_index, 0u);
  EXPECT_EQ(level[1].gain, level[2].gain);
  EXPECT_EQ(level[1].node_id, 1u);
  const std::vector<TrainedStump> leaf = build_joint_round_leafwise(request, 3);
  ASSERT_EQ(leaf.size(), 2u);
  EXPECT_EQ(leaf[1].node_id, 1u);
}

TEST(JointRoundBuilders, LeafWiseWithoutABudgetGrowsTheLevelWiseTree) {
  // Each node's split depends only on its rows, so best-first growth with room for every split
  // finds the same splits as level-by-level growth, only in another order.
  for (std::uint32_t seed : {5u, 6u}) {
    const Problem p = random_problem(400, 4, 2, 30, seed);
    const core::TrainParams params = params_with(4, 5);
    const JointRoundRequest request{params, p.binned, p.gradients, 2, {}, 0};
    std::map<std::uint32_t, TrainedStump> level, leaf;
    for (const TrainedStump& s : build_joint_round_inner(request)) level[s.node_id] = s;
    for (const TrainedStump& s : build_joint_round_leafwise(request, 1000)) leaf[s.node_id] = s;
    ASSERT_GT(level.size(), 3u);
    ASSERT_EQ(level.size(), leaf.size());
    for (const auto& [id, s] : level) {
      ASSERT_TRUE(leaf.contains(id)) << id;
      EXPECT_EQ(leaf[id].feature_index, s.feature_index);
      EXPECT_EQ(leaf[id].split_bin, s.split_bin);
      EXPECT_EQ(leaf[id].multi_output, s.multi_output);
    }
    // A budget of n leaves makes exactly n - 1 splits, the largest gains first among open nodes.
    const std::vector<TrainedStump> three = build_joint_round_leafwise(request, 4);
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three[0].node_id, 0u);
    EXPECT_TRUE(build_joint_round_leafwise(request, 1).empty());
  }
}

TEST(JointRoundBuilders, CategorySetsKeepMinimumRowsOnBothSides) {
  // Category 3 holds three rows with a strong gradient: the best set isolates it, unless both
  // children must keep ten rows, when the search picks the best set that does.
  std::vector<std::uint8_t> bins(60);
  Gradients gradients(2, std::vector<core::GradientPair>(60));
  for (std::size_t r = 0; r < 60; ++r) {
    bins[r] = r < 3 ? 3 : static_cast<std::uint8_t>(r % 3);
    const float g = r < 3 ? 5.0f : (r % 3 == 0 ? -1.0f : 0.5f);
    gradients[0][r] = {g, 1.0f};
    gradients[1][r] = {0.5f * g, 1.0f};
  }
  const core::BinnedMatrix binned = core::BinnedMatrix::make(60, 1, 3, bins);
  const std::pair<std::size_t, std::size_t> categorical[] = {{0, 4}};
  for (const std::uint32_t min_rows : {1u, 10u}) {
    const core::TrainParams params = params_with(1, min_rows);
    const std::vector<TrainedStump> stumps =
        build_joint_round_inner({params, binned, gradients, 2, categorical, 0});
    ASSERT_EQ(stumps.size(), 1u);
    EXPECT_TRUE(stumps[0].categorical);
    const std::uint32_t smaller = std::min(stumps[0].left_stats.count, stumps[0].right_stats.count);
    EXPECT_EQ(smaller, min_rows == 1 ? 3u : 19u) << min_rows;
  }
}

TEST(JointRoundBuilders, RequestFailuresAreReported) {
  const Problem p = random_problem(20, 2, 2, 5, 7);
  core::TrainParams params = params_with(2, 1);
  using testing_support::throws_joint_error;
  EXPECT_TRUE(throws_joint_error([&] { build_joint_round_inner({params, p.binned, p.gradients, 3, {}, 0}); },
                                 "expected 3 gradient vectors, got 2"));
  Gradients short_lists = p.gradients;
  short_lists[1].pop_back();
  EXPECT_TRUE(throws_joint_error([&] { build_joint_round_leafwise({params, p.binned, short_lists, 2, {}, 0}, 4); },
                                 "gradient vector for output 1 has length 19 != 20"));
  params.neutralization_config = core::NeutralizationConfig{core::NeutralizationKind::SplitPenalty, 0.0f, 0.5f};
  EXPECT_TRUE(throws_joint_error([&] { build_joint_round_inner({params, p.binned, p.gradients, 2, {}, 0}); },
                                 "factor_exposures are required when neutralization='split_penalty'"));
  params.neutralization_config.reset();
  params.interaction_constraints = {{0, 9}};
  EXPECT_TRUE(throws_joint_error(
      [&] { build_joint_round_leafwise({params, p.binned, p.gradients, 2, {}, 0}, 4); },
      "interaction_constraints: InvalidConfig(\"interaction_constraints group 0 references feature 9 which "
      "exceeds feature_count 2\")"));
}

TEST(JointCandidateHeap, EqualGainsPopInTheHeapsOrderNotByNodeId) {
  // The growth loop's pattern with every gain equal: pop one node, push its two children. The
  // sift-down moves the right child up when the left is not greater, so node 5 overtakes node 4.
  JointCandidateHeap heap;
  auto push = [&](std::uint32_t id) {
    JointLeafCandidate c;
    c.gain = 1.0f;
    c.node_id = id;
    heap.push(std::move(c));
  };
  std::vector<std::uint32_t> order;
  auto pop = [&] { order.push_back(heap.pop()->node_id); };
  push(1), push(2), pop(), push(3), push(4), pop(), push(5), push(6);
  while (heap.size() > 0) pop();
  EXPECT_EQ(order, (std::vector<std::uint32_t>{1, 2, 3, 5, 4, 6}));
}

TEST(JointCandidateHeap, PopsInNonIncreasingGainOrder) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 50; ++trial) {
    JointCandidateHeap heap;
    std::vector<float> pushed;
    for (int i = 0; i < 40; ++i) {
      JointLeafCandidate c;
      c.gain = static_cast<float>(rng() % 7);  // many ties
      c.node_id = static_cast<std::uint32_t>(i);
      pushed.push_back(c.gain);
      heap.push(std::move(c));
      if (rng() % 3 == 0) heap.pop();
    }
    float previous = 1e9f;
    while (auto c = heap.pop()) {
      EXPECT_LE(c->gain, previous);
      previous = c->gain;
    }
  }
}

}  // namespace
}  // namespace kestrune::engine::joint

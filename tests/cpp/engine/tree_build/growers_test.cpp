// Both growers on small data: stop reasons, limits, histogram subtraction and the feature hooks
// (linear leaves, category sets, morph, the factor penalty).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "engine/morph.hpp"
#include "engine/round.hpp"
#include "grow_test_support.hpp"

namespace kestrune::engine::tree_build {
namespace {

using testing_support::grow;
using testing_support::Growth;
using testing_support::GrowScenario;
using testing_support::random_scenario;
using testing_support::scenario_from;

// The CPU backend with a stand-in linear-leaf fit: coefficients and intercepts from the children's
// row counts, so every split gets models of its own.
class SpyBackend : public backend_cpu::CpuBackend {
 public:
  std::optional<LinearLeafPair> compute_linear_leaf_pair_from_partitions(const core::BinnedMatrix&,
                                                                         std::span<const core::GradientPair>,
                                                                         const LinearLeafPairRequest& request) const {
    auto model = [&](std::size_t rows, float sign) {
      core::LinearLeaf leaf{{}, {request.term_feature_indices.begin(), request.term_feature_indices.end()},
                            sign * static_cast<float>(rows % 11) / 16.0f};
      for (std::size_t k = 0; k < leaf.feature_indices.size(); ++k) {
        leaf.coefficients.push_back(sign * static_cast<float>(rows % 7 + k) / 64.0f);
      }
      return leaf;
    };
    return LinearLeafPair{model(request.left_rows.size(), 1.0f), model(request.right_rows.size(), -1.0f)};
  }
};
static_assert(BackendOps<SpyBackend>);

class GrowBothWays : public ::testing::TestWithParam<Growth> {};
INSTANTIATE_TEST_SUITE_P(Growers, GrowBothWays, ::testing::Values(Growth::Leaf, Growth::Level),
                         [](const auto& info) { return info.param == Growth::Leaf ? "LeafWise" : "LevelWise"; });

TEST_P(GrowBothWays, NodesPastTheIdStrideStayLeaves) {
  // Gradients 4^code: every node's best split peels off its highest code, so the tree is a chain
  // as deep as the rows allow, past the 20 bits of local ids.
  const std::size_t rows = 24;
  std::vector<std::uint8_t> bins(rows);
  std::vector<core::GradientPair> gradients(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    bins[i] = static_cast<std::uint8_t>(i);
    gradients[i] = {std::ldexp(1.0f, static_cast<int>(2 * i)), 1.0f};
  }
  GrowScenario s = scenario_from(core::BinnedMatrix::make(rows, 1, 255, std::move(bins)), std::move(gradients));
  s.params.max_depth = 40;
  s.params.max_leaves = 1000;
  s.controls.max_leaves = 1000;
  std::vector<float> predictions(rows, 0.0f);
  const GrownTree tree = grow(s, GetParam(), predictions);
  std::uint32_t deepest = 0;
  for (const TrainedStump& stump : tree.stumps) deepest = std::max(deepest, local_id_of(stump.node_id));
  EXPECT_EQ(tree.stumps.size(), 20u);  // splits at depths 0 to 19
  EXPECT_EQ(deepest, (1u << 19) - 1);  // the leftmost node of depth 19
}

TEST_P(GrowBothWays, LinearLeavesAddWhatAWalkWithRawValuesAdds) {
  std::mt19937_64 rng(17);
  for (int trial = 0; trial < 20; ++trial) {
    const std::size_t features = 1 + rng() % 10;
    GrowScenario s = random_scenario(rng, 200, features, 8, trial % 2 == 0);
    s.params.leaf_model = core::LeafModel::Linear;
    s.params.max_depth = 4;
    s.params.max_leaves = 9;
    s.controls.max_leaves = 9;
    s.controls.max_abs_leaf_value = 0.5f;
    s.raw_values.resize(200 * features);
    for (float& x : s.raw_values) x = rng() % 9 == 0 ? std::nanf("") : static_cast<float>(rng() % 100) / 10.0f;
    const SpyBackend linear;
    std::vector<float> grown(200, 0.25f);
    const GrownTree tree = grow(s, GetParam(), grown, 0, linear);
    ASSERT_FALSE(tree.stumps.empty());
    EXPECT_TRUE(std::holds_alternative<core::LinearLeaf>(tree.stumps[0].left));
    std::vector<float> walked(200, 0.25f);
    apply_tree_to_binned_predictions(walked, s.binned, tree.stumps, RawFeatureRows{s.raw_values, features});
    ASSERT_EQ(grown, walked) << "trial " << trial;
  }
}

TEST_P(GrowBothWays, MorphLeafValuesUseTheRoundRateAndTheDepthDamping) {
  // Child values take the round's rate instead of learning_rate and are damped by
  // depth_penalty_base^(level / 3) x (1 - progress x morph_rate), level counting the split node
  // from 1 at the root. Without the surprise term and the balance penalty the splits are those of
  // a plain grow at the round's rate, and every node's value is that grow's times its parent
  // level's factor.
  std::mt19937_64 rng(11);
  GrowScenario s = random_scenario(rng, 300, 4, 16);
  s.params.max_depth = 3;
  s.params.max_leaves = 31;
  s.controls.max_leaves = 31;
  core::MorphConfig config;
  config.depth_penalty_base = 0.5f;
  config.morph_rate = 0.4f;
  config.info_score_weight = 0.0f;
  config.balance_penalty = false;
  const MorphState state(config, 1, 10, 0.1f);
  const float round_rate = 0.25f;
  GrowScenario plain = s;
  plain.params.learning_rate = round_rate;
  std::vector<float> plain_predictions(s.gradients.size(), 0.0f);
  const GrownTree reference = grow(plain, GetParam(), plain_predictions);
  ASSERT_GE(reference.stumps.size(), 3u);
  s.morph = MorphTreeContext{&state, 0, 5, 10, round_rate};
  std::vector<float> predictions(s.gradients.size(), 0.0f);
  const GrownTree morph = grow(s, GetParam(), predictions);
  ASSERT_EQ(morph.stumps.size(), reference.stumps.size());

  // Absolute node values from the path increments, by local node id.
  auto absolute_values = [](const GrownTree& tree) {
    std::map<std::uint32_t, double> values{{0u, 0.0}};
    for (const TrainedStump& stump : tree.stumps) {
      const std::uint32_t local = stump.node_id & 0xFFFFFu;
      values[2 * local + 1] = values.at(local) + std::get<float>(stump.left);
      values[2 * local + 2] = values.at(local) + std::get<float>(stump.right);
    }
    return values;
  };
  const std::map<std::uint32_t, double> got = absolute_values(morph);
  const std::map<std::uint32_t, double> want = absolute_values(reference);
  ASSERT_EQ(got.size(), want.size());
  for (const auto& [local, value] : want) {
    if (local == 0) continue;
    const int parent_level = std::bit_width((local - 1) / 2 + 1);
    const double factor = std::pow(0.5, parent_level / 3.0) * (1.0 - 0.5 * 0.4);
    EXPECT_NEAR(got.at(local), value * factor, 1e-5 * std::fabs(value) + 1e-7) << "node " << local;
  }
}

}  // namespace
}  // namespace kestrune::engine::tree_build

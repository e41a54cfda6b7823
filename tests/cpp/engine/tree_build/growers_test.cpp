// Both growers on small hand-made data: stop reasons, limits, histogram subtraction and the
// feature hooks (linear leaves, category sets, morph, the factor penalty).
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "../engine_test_support.hpp"
#include "engine/morph.hpp"
#include "engine/round.hpp"
#include "grow_test_support.hpp"
#include "support/panic.hpp"

namespace kestrune::engine::tree_build {
namespace {

using engine::testing_support::throws_engine_error;
using testing_support::grow;
using testing_support::Growth;
using testing_support::GrowScenario;
using testing_support::random_scenario;
using testing_support::scenario_from;

// Records which nodes had histograms built from rows, and can stand in linear-leaf fits. The
// growers call a backend from several pool threads at once.
class SpyBackend : public testing_support::CpuForwardingBackend {
 public:
  mutable std::vector<std::uint32_t> built_nodes;
  // Each search that carried a factor context: the bundle searched and the context's rows.
  mutable std::vector<std::pair<core::HistogramBundle, std::vector<std::uint32_t>>> factor_searches;
  bool fit_linear_leaves = false;

  core::HistogramBundle build_histograms(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                         const core::NodeSlice& node, std::span<const core::FeatureTile> tiles) const {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      built_nodes.push_back(node.node_id);
    }
    return cpu_.build_histograms(binned, gradients, node, tiles);
  }
  std::optional<SplitCandidate> best_split_with_factor_context(const core::HistogramBundle& bundle,
                                                               const SplitSelectionOptions& options,
                                                               std::span<const float> weights,
                                                               std::span<const CategoricalFeature> categorical,
                                                               const FactorSplitContext* factor) const {
    if (factor != nullptr) {
      const std::lock_guard<std::mutex> lock(mutex_);
      factor_searches.push_back({bundle, {factor->row_indices.begin(), factor->row_indices.end()}});
    }
    return cpu_.best_split_with_factor_context(bundle, options, weights, categorical, factor);
  }
  // A stand-in fit: coefficients and intercepts from the children's row counts, so every split
  // gets different models.
  std::optional<LinearLeafPair> compute_linear_leaf_pair_from_partitions(const core::BinnedMatrix&,
                                                                         std::span<const core::GradientPair>,
                                                                         const LinearLeafPairRequest& request) const {
    if (!fit_linear_leaves) return std::nullopt;
    auto model = [&](std::size_t rows, float sign) {
      core::LinearLeaf leaf;
      leaf.feature_indices.assign(request.term_feature_indices.begin(), request.term_feature_indices.end());
      for (std::size_t k = 0; k < leaf.feature_indices.size(); ++k) {
        leaf.coefficients.push_back(sign * static_cast<float>(rows % 7 + k) / 64.0f);
      }
      leaf.intercept = sign * static_cast<float>(rows % 11) / 16.0f;
      return leaf;
    };
    return LinearLeafPair{model(request.left_rows.size(), 1.0f), model(request.right_rows.size(), -1.0f)};
  }

 private:
  mutable std::mutex mutex_;
};
static_assert(BackendOps<SpyBackend>);

// One feature; rows with codes 0 have gradient -1, rows with code 1 gradient +1 (hessian 1): the
// only split separates them.
GrowScenario two_groups(std::size_t zeros, std::size_t ones) {
  std::vector<std::uint8_t> bins;
  std::vector<core::GradientPair> gradients;
  for (std::size_t i = 0; i < zeros + ones; ++i) {
    bins.push_back(i < zeros ? 0 : 1);
    gradients.push_back({i < zeros ? -1.0f : 1.0f, 1.0f});
  }
  GrowScenario s = scenario_from(core::BinnedMatrix::make(zeros + ones, 1, 255, std::move(bins)), std::move(gradients));
  s.params.max_leaves = 31;
  s.controls.max_leaves = 31;
  return s;
}

class GrowBothWays : public ::testing::TestWithParam<Growth> {};
INSTANTIATE_TEST_SUITE_P(Growers, GrowBothWays, ::testing::Values(Growth::Leaf, Growth::Level),
                         [](const auto& info) { return info.param == Growth::Leaf ? "LeafWise" : "LevelWise"; });

TEST_P(GrowBothWays, RootWithoutAcceptableSplit) {
  // Every row in one bin: no threshold separates anything.
  GrowScenario same = two_groups(6, 0);
  std::vector<float> predictions(6, 1.0f);
  GrownTree tree = grow(same, GetParam(), predictions);
  EXPECT_TRUE(tree.stumps.empty());
  EXPECT_EQ(tree.stop_reason, IterationStopReason::NoSplitCandidate);
  EXPECT_EQ(predictions, std::vector<float>(6, 1.0f));

  // A gain equal to min_split_gain does not split.
  GrowScenario s = two_groups(4, 4);
  std::vector<float> fresh(8, 0.0f);
  const float gain = grow(s, GetParam(), fresh).stumps.at(0).gain;
  s.controls.min_split_gain = gain;
  std::vector<float> untouched(8, 0.0f);
  tree = grow(s, GetParam(), untouched);
  EXPECT_TRUE(tree.stumps.empty());
  EXPECT_EQ(tree.stop_reason, IterationStopReason::GainBelowThreshold);
  EXPECT_EQ(untouched, std::vector<float>(8, 0.0f));
}

TEST_P(GrowBothWays, ChildrenBelowTheRowMinimumRefuseTheSplit) {
  GrowScenario s = two_groups(3, 5);
  s.controls.min_rows_per_leaf = 4;
  std::vector<float> predictions(8, 0.0f);
  const GrownTree tree = grow(s, GetParam(), predictions);
  EXPECT_TRUE(tree.stumps.empty());
  EXPECT_EQ(tree.stop_reason, IterationStopReason::LeafRowsBelowThreshold);
  EXPECT_EQ(predictions, std::vector<float>(8, 0.0f));
}

TEST_P(GrowBothWays, TheSearchKeepsEveryChildAtTheRowMinimum) {
  // With the floor known to the search, no chosen split is refused for its row counts: trees
  // grow past the first small child instead of stopping. Missing cells go either way.
  std::mt19937_64 rng(77);
  bool missing_left = false, missing_right = false;
  for (const std::size_t min_rows : {1u, 5u, 40u}) {
    for (const bool wide : {false, true}) {
      GrowScenario s = random_scenario(rng, 300, 4, 12, wide);
      s.params.max_depth = 6;
      s.controls.max_leaves = 40;
      s.controls.min_rows_per_leaf = min_rows;
      s.options.min_rows_per_leaf = min_rows;
      std::vector<float> predictions(300, 0.0f);
      const GrownTree tree = grow(s, GetParam(), predictions);
      SCOPED_TRACE(::testing::Message() << "min rows " << min_rows << (wide ? ", 16-bit" : ", 8-bit"));
      ASSERT_FALSE(tree.stumps.empty());
      for (const TrainedStump& stump : tree.stumps) {
        EXPECT_GE(stump.left_stats.count, min_rows);
        EXPECT_GE(stump.right_stats.count, min_rows);
        (stump.default_left ? missing_left : missing_right) = true;
      }
      // The guard after the partition agrees with the search: the same tree without it.
      s.controls.min_rows_per_leaf = 1;
      std::vector<float> unguarded(300, 0.0f);
      EXPECT_EQ(grow(s, GetParam(), unguarded).stumps.size(), tree.stumps.size());
      EXPECT_EQ(unguarded, predictions);
    }
  }
  EXPECT_TRUE(missing_left && missing_right);  // splits sent missing rows either way
}

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
  EXPECT_EQ(tree.stumps.size(), 20u);            // splits at depths 0 to 19
  EXPECT_EQ(deepest, (1u << 19) - 1);            // the leftmost node of depth 19
}

TEST_P(GrowBothWays, SplitRecordHoldsIncrementsAndPartitionStatistics) {
  GrowScenario s = two_groups(3, 5);
  s.params.learning_rate = 0.5f;
  std::vector<float> predictions(8, 0.0f);
  const GrownTree tree = grow(s, GetParam(), predictions, 3);
  ASSERT_EQ(tree.stumps.size(), 1u);
  EXPECT_EQ(tree.stop_reason, IterationStopReason::CompletedRequestedRounds);
  const TrainedStump& stump = tree.stumps[0];
  EXPECT_EQ(stump.node_id, 3u << 20);
  EXPECT_EQ(stump.split_bin, 0u);
  EXPECT_EQ(stump.left_stats.count, 3u);
  EXPECT_EQ(stump.right_stats.count, 5u);
  EXPECT_EQ(stump.left_stats.grad_sum, -3.0f);
  const float left = (-3.0f * -0.5f) / ((0.0f + 3.0f) + 1e-6f);
  const float right = (5.0f * -0.5f) / ((0.0f + 5.0f) + 1e-6f);
  EXPECT_EQ(std::get<float>(stump.left), left);
  EXPECT_EQ(std::get<float>(stump.right), right);
  EXPECT_EQ(predictions[0], left);
  EXPECT_EQ(predictions[7], right);
}

TEST_P(GrowBothWays, LeafBudgetBoundsTheTree) {
  std::mt19937_64 rng(3);
  const GrowScenario base = random_scenario(rng, 300, 4, 16);
  for (std::size_t budget : {2, 3, 5}) {
    GrowScenario s = base;
    s.params.max_leaves = budget;
    s.controls.max_leaves = budget;
    std::vector<float> predictions(300, 0.0f);
    const GrownTree tree = grow(s, GetParam(), predictions);
    EXPECT_EQ(tree.stumps.size(), budget - 1) << budget;
    EXPECT_EQ(tree.stop_reason, IterationStopReason::CompletedRequestedRounds);
  }
  GrowScenario depth_one = base;
  depth_one.params.max_depth = 1;
  std::vector<float> predictions(300, 0.0f);
  const GrownTree tree = grow(depth_one, GetParam(), predictions);
  ASSERT_EQ(tree.stumps.size(), 1u);
  EXPECT_EQ(tree.stumps[0].node_id, 0u);
}

TEST_P(GrowBothWays, SmallerChildIsBuiltAndEqualCountsBuildTheLeft) {
  for (auto [zeros, ones, built_local] : {std::tuple{10, 10, 1u}, std::tuple{12, 8, 2u}, std::tuple{8, 12, 1u}}) {
    GrowScenario s = two_groups(zeros, ones);
    s.params.max_depth = 2;
    SpyBackend spy;
    std::vector<float> predictions(s.rows.size(), 0.0f);
    const GrownTree tree = grow(s, GetParam(), predictions, 0, spy);
    ASSERT_EQ(tree.stumps.size(), 1u);
    EXPECT_EQ(spy.built_nodes, (std::vector<std::uint32_t>{0, built_local})) << zeros << "/" << ones;
  }
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
    SpyBackend linear;
    linear.fit_linear_leaves = true;
    std::vector<float> grown(200, 0.25f);
    const GrownTree tree = grow(s, GetParam(), grown, 0, linear);
    ASSERT_FALSE(tree.stumps.empty());
    EXPECT_NE(core::linear_leaf_if(tree.stumps[0].left), nullptr);
    std::vector<float> walked(200, 0.25f);
    apply_tree_to_binned_predictions(walked, s.binned, tree.stumps, RawFeatureRows{s.raw_values, features});
    ASSERT_EQ(grown, walked) << "trial " << trial;
  }
}

TEST_P(GrowBothWays, LinearLeavesCategoricalSetsAndTheFactorPenaltyGrow) {
  GrowScenario s = two_groups(4, 4);
  std::vector<float> predictions(8, 0.0f);

  GrowScenario linear = s;
  linear.params.leaf_model = core::LeafModel::Linear;
  linear.raw_values.assign(8, 1.0f);
  const GrownTree linear_tree = grow(linear, GetParam(), predictions);
  ASSERT_EQ(linear_tree.stumps.size(), 1u);
  EXPECT_NE(core::linear_leaf_if(linear_tree.stumps[0].left), nullptr);
  // Without raw values the leaves stay constant.
  linear.raw_values.clear();
  const GrownTree constant_tree = grow(linear, GetParam(), predictions);
  ASSERT_EQ(constant_tree.stumps.size(), 1u);
  EXPECT_TRUE(std::holds_alternative<float>(constant_tree.stumps[0].left));

  // A categorical feature is split by category sets, and a set split keeps constant leaves even
  // where linear leaves are fitted.
  GrowScenario categorical = s;
  categorical.categorical_features = {{0, 2}};
  categorical.params.leaf_model = core::LeafModel::Linear;
  categorical.raw_values.assign(8, 1.0f);
  SpyBackend linear_fits;
  linear_fits.fit_linear_leaves = true;
  const GrownTree sets = grow(categorical, GetParam(), predictions, 0, linear_fits);
  ASSERT_EQ(sets.stumps.size(), 1u);
  EXPECT_TRUE(sets.stumps[0].categorical);
  EXPECT_EQ(sets.stumps[0].category_bitset, std::vector<std::uint8_t>{0x01});
  EXPECT_TRUE(std::holds_alternative<float>(sets.stumps[0].left));
  EXPECT_TRUE(std::holds_alternative<float>(sets.stumps[0].right));

  GrowScenario penalty = s;
  penalty.params.neutralization_config = core::NeutralizationConfig{core::NeutralizationKind::SplitPenalty, 0.0f, 0.5f};
  const core::FactorExposureMatrix exposures = core::FactorExposureMatrix::make(8, 1, std::vector<float>(8, 1.0f));
  TreeGrowthRequest request{.binned = penalty.binned, .gradients = penalty.gradients, .root_rows = penalty.rows,
                            .tree_index = 0, .feature_tiles = penalty.tiles, .options = penalty.options,
                            .params = penalty.params, .controls = penalty.controls, .predictions = predictions,
                            .feature_weights = {}, .categorical_features = {}, .morph = std::nullopt,
                            .raw_values = {}, .factor_exposures = &exposures};
  const backend_cpu::CpuBackend cpu;
  auto run = [&](TreeGrowthRequest r) {
    return GetParam() == Growth::Leaf ? build_tree_leaf_wise(cpu, std::move(r)) : build_tree_level_wise(cpu, std::move(r));
  };
  // Exposures equal on every row: both children's values have opposite signs and equal
  // weights here, so the split costs nothing and still happens.
  EXPECT_EQ(run(request).stumps.size(), 1u);
  // No exposures: a search without a factor context.
  request.factor_exposures = nullptr;
  EXPECT_EQ(run(request).stumps.size(), 1u);

  // The morph search carries the penalty too.
  core::MorphConfig config;
  const MorphState state(config, 1, 10, 0.1f);
  request.morph = MorphTreeContext{&state, 0, 1, 10, 0.1f};
  request.factor_exposures = &exposures;
  EXPECT_EQ(run(request).stumps.size(), 1u);
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

  std::vector<float> predictions(s.gradients.size(), 0.0f);
  TreeGrowthRequest request{.binned = s.binned, .gradients = s.gradients, .root_rows = s.rows, .tree_index = 0,
                            .feature_tiles = s.tiles, .options = s.options, .params = s.params,
                            .controls = s.controls, .predictions = predictions, .feature_weights = {},
                            .categorical_features = {}, .morph = MorphTreeContext{&state, 0, 5, 10, round_rate},
                            .raw_values = {}, .factor_exposures = nullptr};
  const backend_cpu::CpuBackend cpu;
  const GrownTree morph = GetParam() == Growth::Leaf ? build_tree_leaf_wise(cpu, std::move(request))
                                                     : build_tree_level_wise(cpu, std::move(request));
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

TEST_P(GrowBothWays, FactorContextCarriesEachNodesOwnRows) {
  std::mt19937_64 rng(5);
  GrowScenario s = random_scenario(rng, 120, 3, 8);
  s.params.max_depth = 3;
  s.params.neutralization_config = core::NeutralizationConfig{core::NeutralizationKind::SplitPenalty, 0.0f, 0.01f};
  std::vector<float> values(120);
  for (float& v : values) v = static_cast<float>(rng() % 5) - 2.0f;
  const core::FactorExposureMatrix exposures = core::FactorExposureMatrix::make(120, 1, values);
  std::vector<float> predictions(120, 0.0f);
  SpyBackend spy;
  auto run = [&](const SplitSelectionOptions& options) {
    TreeGrowthRequest request{.binned = s.binned, .gradients = s.gradients, .root_rows = s.rows, .tree_index = 0,
                              .feature_tiles = s.tiles, .options = options, .params = s.params,
                              .controls = s.controls, .predictions = predictions, .feature_weights = {},
                              .categorical_features = {}, .morph = std::nullopt, .raw_values = {},
                              .factor_exposures = &exposures};
    return GetParam() == Growth::Leaf ? build_tree_leaf_wise(spy, std::move(request))
                                      : build_tree_level_wise(spy, std::move(request));
  };
  // The threshold scan reads the options' missing bin and the candidate routing the matrix's:
  // a search with the two apart is a bug.
  SplitSelectionOptions mismatched = s.options;
  mismatched.missing_bin = 254;
  EXPECT_THROW(run(mismatched), support::Panic);
  ASSERT_TRUE(spy.factor_searches.empty());
  const GrownTree tree = run(s.options);
  ASSERT_GE(tree.stumps.size(), 2u);
  ASSERT_GE(spy.factor_searches.size(), 3u);
  // The rows of every context rebuild the bin counts of the node searched (a subtracted
  // sibling's included), feature by feature.
  for (const auto& [bundle, rows] : spy.factor_searches) {
    for (const core::FeatureHistogram& histogram : bundle.histograms) {
      std::vector<std::uint32_t> counts(histogram.bins.size(), 0);
      for (const std::uint32_t r : rows) ++counts.at(s.binned.bins.at(r * 3 + histogram.feature_index));
      for (std::size_t b = 0; b < counts.size(); ++b) ASSERT_EQ(counts[b], histogram.bins[b].count) << b;
    }
  }
}

TEST_P(GrowBothWays, BadInputsFailBeforeAnySplit) {
  GrowScenario s = two_groups(4, 4);
  std::vector<float> predictions(8, 0.0f);
  GrowScenario empty = s;
  empty.rows.clear();
  EXPECT_TRUE(throws_engine_error([&] { grow(empty, GetParam(), predictions); }, EngineErrorKind::Core,
                                  "validation error: node row_indices cannot be empty"));
  GrowScenario groups = s;
  groups.params.interaction_constraints = {{0, 3}};
  EXPECT_TRUE(throws_engine_error([&] { grow(groups, GetParam(), predictions); }, EngineErrorKind::InvalidConfig,
                                  "interaction_constraints group 0 references feature 3 which exceeds feature_count 1"));
  EXPECT_TRUE(throws_engine_error([&] { grow(s, GetParam(), predictions, 4096); }, EngineErrorKind::ContractViolation,
                                  "encoded tree node id overflowed u32 range"));
  // Predictions shorter than the matrix: the first split made fails at the first row without one.
  std::vector<float> short_predictions(7, 0.0f);
  EXPECT_TRUE(throws_engine_error([&] { grow(s, GetParam(), short_predictions); }, EngineErrorKind::ContractViolation,
                                  "right partition row index 7 is out of bounds for predictions length 7"));
}

TEST(GrowLeafWise, BudgetBelowTwoGrowsNothing) {
  GrowScenario s = two_groups(4, 4);
  s.controls.max_leaves = 1;
  std::vector<float> predictions(8, 0.0f);
  const GrownTree tree = grow(s, Growth::Leaf, predictions);
  EXPECT_TRUE(tree.stumps.empty());
  EXPECT_EQ(tree.stop_reason, IterationStopReason::MaxLeavesReached);
}

TEST(GrowLevelWise, RecordsComeInLevelOrder) {
  std::mt19937_64 rng(12);
  GrowScenario s = random_scenario(rng, 400, 3, 16);
  s.params.max_depth = 4;
  std::vector<float> predictions(400, 0.0f);
  const GrownTree tree = grow(s, Growth::Level, predictions);
  ASSERT_GE(tree.stumps.size(), 3u);
  for (std::size_t i = 1; i < tree.stumps.size(); ++i) {
    EXPECT_LT(tree.stumps[i - 1].node_id & 0xFFFFF, tree.stumps[i].node_id & 0xFFFFF);
  }
}

// Without a leaf budget a node's children are worked on as soon as the node is done, ahead of the
// rest of its depth; with a budget that is never reached, depth by depth. Both must grow the
// same tree bit for bit: records, their order, and the predictions (constant and linear leaves).
TEST(GrowLevelWise, NodesWorkedOnAheadOfTheirDepthGrowTheSameTree) {
  std::mt19937_64 rng(33);
  for (int trial = 0; trial < 8; ++trial) {
    const std::size_t features = 2 + rng() % 6;
    GrowScenario s = random_scenario(rng, 1500, features, 16, trial % 2 == 0);
    s.params.max_depth = 3 + trial % 4;
    s.controls.min_rows_per_leaf = 1 + trial;
    SpyBackend backend;
    if (trial % 3 == 2) {
      s.params.leaf_model = core::LeafModel::Linear;
      s.raw_values.resize(1500 * features);
      for (float& x : s.raw_values) x = static_cast<float>(rng() % 100) / 10.0f;
      backend.fit_linear_leaves = true;
    }
    s.params.max_leaves.reset();
    s.controls.max_leaves.reset();
    std::vector<float> ahead_predictions(1500, 0.5f);
    const GrownTree ahead = grow(s, Growth::Level, ahead_predictions, 0, backend);
    s.controls.max_leaves = std::size_t{1} << 20;
    std::vector<float> level_predictions(1500, 0.5f);
    const GrownTree level = grow(s, Growth::Level, level_predictions, 0, backend);
    SCOPED_TRACE(trial);
    ASSERT_GE(ahead.stumps.size(), 3u);
    ASSERT_EQ(ahead.stumps.size(), level.stumps.size());
    for (std::size_t i = 0; i < ahead.stumps.size(); ++i) {
      const TrainedStump& a = ahead.stumps[i];
      const TrainedStump& b = level.stumps[i];
      EXPECT_EQ(a.node_id, b.node_id);
      EXPECT_EQ(a.feature_index, b.feature_index);
      EXPECT_EQ(a.split_bin, b.split_bin);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(a.left_stats.grad_sum), std::bit_cast<std::uint32_t>(b.left_stats.grad_sum));
      EXPECT_EQ(std::bit_cast<std::uint32_t>(a.right_stats.hess_sum), std::bit_cast<std::uint32_t>(b.right_stats.hess_sum));
      EXPECT_EQ(a.left, b.left);
      EXPECT_EQ(a.right, b.right);
    }
    EXPECT_EQ(ahead.stop_reason, level.stop_reason);
    EXPECT_EQ(ahead_predictions, level_predictions);
  }
}

TEST(GrowLevelWise, LeafBudgetRefusalIsReportedOnlyForAnEmptyTree) {
  GrowScenario s = two_groups(4, 4);
  s.params.max_leaves.reset();
  s.controls.max_leaves = 2;
  std::vector<float> predictions(8, 0.0f);
  EXPECT_EQ(grow(s, Growth::Level, predictions).stop_reason, IterationStopReason::CompletedRequestedRounds);
}

// The CPU backend, except that building the histograms of a child of `children_of` (its smaller
// child's, from rows) throws, and so do partitioning the node `partition_of` and searching the
// node `search_of`.
class FailingLevelBackend : public testing_support::CpuForwardingBackend {
 public:
  std::optional<std::uint32_t> children_of;
  std::optional<std::uint32_t> partition_of;
  std::optional<std::uint32_t> search_of;

  std::optional<SplitCandidate> best_split_with_factor_context(const core::HistogramBundle& bundle,
                                                               const SplitSelectionOptions& options,
                                                               std::span<const float> weights,
                                                               std::span<const CategoricalFeature> categorical,
                                                               const FactorSplitContext* factor) const {
    if (search_of == (bundle.node_id & 0xFFFFF)) throw std::runtime_error("search " + std::to_string(*search_of));
    return cpu_.best_split_with_factor_context(bundle, options, weights, categorical, factor);
  }

  core::HistogramBundle build_histograms(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                         const core::NodeSlice& node, std::span<const core::FeatureTile> tiles) const {
    const std::uint32_t local = node.node_id & 0xFFFFF;
    if (children_of && local != 0 && (local - 1) / 2 == *children_of) {
      throw std::runtime_error("children of " + std::to_string(*children_of));
    }
    return cpu_.build_histograms(binned, gradients, node, tiles);
  }
  core::PartitionResult apply_split_with_stats(const core::BinnedMatrix& binned,
                                               std::span<const core::GradientPair> gradients,
                                               const core::NodeSlice& node, const SplitCandidate& split) const {
    if (partition_of == (node.node_id & 0xFFFFF)) throw std::runtime_error("partition " + std::to_string(*partition_of));
    return cpu_.apply_split_with_stats(binned, gradients, node, split);
  }
};
static_assert(BackendOps<FailingLevelBackend>);

// Every node's children are built and searched right after its own partition, all nodes of a
// depth at once, but a failure must be the one a node-by-node grower meets first: the earlier
// node's in frontier order, a shallower node's before a deeper one's, and none for children a
// split never gets (the leaf budget refused it, or the depth limit leaves them leaves).
TEST(GrowLevelWise, FailuresComeInNodeOrderAndOnlyForSplitsMade) {
  struct Case {
    const char* name;
    std::optional<std::uint32_t> children_of;
    std::optional<std::uint32_t> partition_of;
    std::optional<std::uint32_t> search_of;
    std::size_t max_leaves;  // 0: none
    std::size_t max_depth;
    const char* error;  // nullptr: the tree grown without failures
  };
  const Case cases[] = {
      {"children of the first node, then a later partition", 1, 2, {}, 0, 4, "children of 1"},
      {"a partition, then children of a later node", 2, 1, {}, 0, 4, "partition 1"},
      {"children of a node at the last depth", 1, {}, {}, 0, 2, nullptr},
      {"children of a split the budget refuses", 2, {}, {}, 3, 4, nullptr},
      {"children of the last split the budget allows", 1, {}, {}, 3, 4, "children of 1"},
      {"a deeper search, then a later partition", {}, 2, 3, 0, 4, "partition 2"},
      {"a search, then a later partition at its depth", {}, 4, 3, 0, 4, "search 3"},
      {"a partition, then a later search at its depth", {}, 3, 4, 0, 4, "partition 3"},
      {"a search of a child of a refused split", {}, {}, 3, 2, 4, nullptr},
      {"the root's partition under a budget", {}, 0, {}, 5, 4, "partition 0"},
      {"a depth's first partition under a budget", {}, 1, {}, 5, 4, "partition 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937_64 rng(21);
    GrowScenario s = random_scenario(rng, 3000, 5, 31);
    s.params.max_depth = c.max_depth;
    s.controls.min_rows_per_leaf = 5;
    if (c.max_leaves != 0) {
      s.params.max_leaves = c.max_leaves;
      s.controls.max_leaves = c.max_leaves;
    }
    std::vector<float> plain_predictions(3000, 0.0f);
    const GrownTree plain = grow(s, Growth::Level, plain_predictions);
    // Nodes 1 and 2 split in the plain tree without a budget, so every case above meets them.
    ASSERT_GE(plain.stumps.size(), c.max_leaves != 0 ? c.max_leaves - 1 : 3u);
    FailingLevelBackend backend;
    backend.children_of = c.children_of;
    backend.partition_of = c.partition_of;
    backend.search_of = c.search_of;
    std::vector<float> predictions(3000, 0.0f);
    if (c.error != nullptr) {
      try {
        grow(s, Growth::Level, predictions, 0, backend);
        ADD_FAILURE() << "no error";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
      continue;
    }
    const GrownTree tree = grow(s, Growth::Level, predictions, 0, backend);
    ASSERT_EQ(tree.stumps.size(), plain.stumps.size());
    for (std::size_t i = 0; i < tree.stumps.size(); ++i) EXPECT_EQ(tree.stumps[i].node_id, plain.stumps[i].node_id);
    EXPECT_EQ(predictions, plain_predictions);
  }
}

}  // namespace
}  // namespace kestrune::engine::tree_build

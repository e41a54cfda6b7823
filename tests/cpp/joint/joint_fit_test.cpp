#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "engine/joint/fit.hpp"
#include "engine/joint/predictor.hpp"
#include "joint_fit_support.hpp"
#include "joint_test_support.hpp"

namespace kestrune::engine::joint {
namespace {

using namespace testing_support;

TEST(JointFit, WarmStartContinuesLikeOneLongerFit) {
  const JointData data = make_joint_data(3, 300, 6);
  for (const core::TreeGrowth growth : {core::TreeGrowth::Level, core::TreeGrowth::Leaf}) {
    core::TrainParams params = joint_params();
    params.tree_growth = growth;
    params.row_subsample = 0.8f;
    params.col_subsample = 0.7f;
    const JointTrainingSummary whole = fit_joint(data, params, 6);
    ASSERT_EQ(whole.rounds_completed, 6u);
    const JointTrainingSummary rest = fit_joint(data, params, 3, warm_start_of(fit_joint(data, params, 3)));
    EXPECT_EQ(rest.rounds_completed, 6u);
    EXPECT_EQ(rest.model.to_artifact_bytes(), whole.model.to_artifact_bytes());
  }
}

TEST(JointFit, MorphWarmStartResumesTheGradientStatistics) {
  // Without decay and evolution pressure the morph scales and gains do not depend on the fit's
  // length, so a resumed fit matches the straight one exactly when it starts from the earlier
  // fit's gradient statistics, and only then.
  const JointData data = make_joint_data(6, 300, 6);
  core::TrainParams params = joint_params();
  core::MorphConfig morph;
  morph.morph_rate = 0.0f;
  morph.evolution_pressure = 0.0f;
  morph.info_score_weight = 1.0f;
  morph.morph_warmup_iters = 1;
  params.morph_config = morph;
  // The trees alone: the metadata records the fit's own length.
  auto trees = [](TrainedModel model) {
    model.morph_metadata.reset();
    return model.to_artifact_bytes();
  };
  const JointTrainingSummary whole = fit_joint(data, params, 6);
  const JointTrainingSummary first = fit_joint(data, params, 3);
  ASSERT_TRUE(first.model.morph_metadata.has_value());
  const JointTrainingSummary rest = fit_joint(data, params, 3, warm_start_of(first));
  EXPECT_EQ(trees(rest.model), trees(whole.model));
  EXPECT_EQ(rest.model.morph_metadata->ema_stats, whole.model.morph_metadata->ema_stats);
  JointWarmStartState fresh = warm_start_of(first);
  fresh.initial_ema_stats.reset();
  EXPECT_NE(trees(fit_joint(data, params, 3, std::move(fresh)).model), trees(whole.model));
}

TEST(JointFit, PredictorScoresEveryTreeAtItsWeight) {
  // The joint predictor on the artifact against a float64 re-walk of the stumps: each row adds,
  // per tree, the tree weight times the K-vector of the side taken at its path's last stump.
  const JointData data = make_joint_data(4, 240, 5);
  const std::size_t n_rows = data.binned.row_count, n_features = data.binned.feature_count;
  for (const bool dart : {false, true}) {
    core::TrainParams params = joint_params();
    if (dart) {
      params.boosting_mode = core::DartBoosting{0.5f, 2, core::DartNormalizeType::Tree, core::DartSampleType::Uniform};
    }
    const JointTrainingSummary summary = fit_joint(data, params, 5);
    ASSERT_EQ(summary.rounds_completed, 5u);
    EXPECT_EQ(summary.objective_names, (std::vector<std::string>{"rank:ndcg", "queryrmse", "squared_error"}));
    EXPECT_EQ(summary.model.objective, "joint_multi_output[3]");
    const JointPredictor predictor =
        JointPredictor::from_artifact_bytes(summary.model.to_artifact_bytes(), summary.baselines);
    std::vector<float> rows(n_rows * n_features);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      const std::uint16_t b = data.binned.bins.at(i);
      rows[i] = b == 255 ? NAN : static_cast<float>(b);
    }
    const std::vector<float> scores = predictor.predict_batch(rows, n_features);
    std::map<std::uint32_t, std::map<std::uint32_t, const TrainedStump*>> trees;
    for (const TrainedStump& s : summary.model.stumps) trees[s.node_id >> 20][s.node_id & 0xFFFFFu] = &s;
    bool weighted = false;
    for (std::size_t r = 0; r < n_rows; ++r) {
      std::vector<double> expected(summary.baselines.begin(), summary.baselines.end());
      for (const auto& [tree, nodes] : trees) {
        std::uint32_t id = 0;
        const std::vector<float>* leaf = nullptr;
        float weight = 1.0f;
        for (auto it = nodes.find(id); it != nodes.end(); it = nodes.find(id)) {
          const TrainedStump& s = *it->second;
          const std::uint16_t b = data.binned.bins.at(r * n_features + s.feature_index);
          const bool left = b == 255 ? s.default_left : b <= s.split_bin;
          leaf = left ? &s.multi_output->left : &s.multi_output->right;
          weight = s.tree_weight;
          id = left ? 2 * id + 1 : 2 * id + 2;
        }
        weighted = weighted || weight != 1.0f;
        for (std::size_t k = 0; leaf != nullptr && k < 3; ++k) expected[k] += double{weight} * (*leaf)[k];
      }
      for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(scores[r * 3 + k], expected[k], 1e-4) << r << " " << k;
    }
    EXPECT_EQ(weighted, dart);
  }
}

TEST(JointFit, RefusesBadRequests) {
  const JointData data = make_joint_data(5, 100, 4);
  const core::TrainParams params = joint_params();
  JointData no_groups = data;
  no_groups.group_ids.reset();
  EXPECT_TRUE(throws_joint_error([&] { fit_joint(no_groups, params, 1); }, "at least one objective requires group_id"));
  core::TrainParams leaf = params;
  leaf.tree_growth = core::TreeGrowth::Leaf;
  leaf.max_leaves.reset();
  EXPECT_TRUE(throws_joint_error([&] { fit_joint(data, leaf, 1); },
                                 "tree_growth='leaf' requires max_leaves to be set on the joint trainer"));
  core::TrainParams pre = params;
  pre.neutralization_config = core::NeutralizationConfig{core::NeutralizationKind::PreTarget, 0.1f, 0.0f};
  EXPECT_TRUE(throws_joint_error(
      [&] { fit_joint(data, pre, 1); },
      "neutralization='pre_target' requires every per-output objective to be 'squared_error' (output 0 is RankNdcg). "
      "Use neutralization='per_round_gradient' for ranking objectives."));
  // A warm start whose trees' stumps are interleaved is refused rather than mis-dropped by DART.
  JointTrainingSummary earlier = fit_joint(data, params, 2);
  JointWarmStartState warm = warm_start_of(earlier);
  ASSERT_GE(warm.stumps.size(), 3u);
  std::swap(warm.stumps[0], warm.stumps.back());
  warm.stumps.push_back(warm.stumps.front());
  EXPECT_THROW(fit_joint(data, params, 1, warm), JointError);
  JointWarmStartState wrong = warm_start_of(earlier);
  wrong.baselines.pop_back();
  EXPECT_TRUE(throws_joint_error([&] { fit_joint(data, params, 1, wrong); },
                                 "warm-start baselines length 2 != n_outputs 3"));
  // DART weights given apart from the stumps hold one weight per tree number.
  core::TrainParams dart = params;
  dart.boosting_mode = core::DartBoosting{0.5f, 2, core::DartNormalizeType::Tree, core::DartSampleType::Uniform};
  JointWarmStartState weighted = warm_start_of(earlier);
  weighted.initial_dart_tree_weights = std::vector<float>{1.0f};
  EXPECT_TRUE(throws_joint_error([&] { fit_joint(data, dart, 1, weighted); },
                                 "warm_start.initial_dart_tree_weights length 1 != initial_rounds_completed 2"));
}

}  // namespace
}  // namespace kestrune::engine::joint

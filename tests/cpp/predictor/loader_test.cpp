#include <gtest/gtest.h>

#include <limits>

#include "core/artifact/linear_leaf_payload.hpp"
#include "core/artifact/metadata_payloads.hpp"
#include "core/artifact/multi_output_payload.hpp"
#include "core/artifact/native_categorical_payload.hpp"
#include "predictor/predictor.hpp"
#include "predictor_test_support.hpp"
#include "support/bytes.hpp"

namespace kestrune {
namespace {

using namespace predictor_testing;
using core::ModelSectionKind;
using predictor::Predictor;

// Tree 0: a root on feature 0 (bin 5) with a left child on feature 1 (bin 2).
std::vector<engine::TrainedStump> root_and_left_child() {
  return {stump_at(0, 0, 0, 5, 1.0f, 10.0f), stump_at(0, 1, 1, 2, 100.0f, 1000.0f)};
}

TEST(PredictorLoading, TreesOnlyArtifactTakesTheMetadataFeatureCount) {
  const Predictor p = load(artifact_with(3, {{ModelSectionKind::Trees, trees_payload(3, 0.0f, root_and_left_child())}}));
  EXPECT_EQ(p.feature_count(), 3u);
  EXPECT_TRUE(throws_invalid_model(
      [] { load(artifact_with(3, {{ModelSectionKind::Trees, trees_payload(2, 0.0f, root_and_left_child())}})); },
      "trees payload feature_count 2 does not match predictor layout feature_count 3"));
}

TEST(PredictorLoading, ModelWithoutTreesReturnsTheTransformedBaseScore) {
  const Predictor p = load(trees_artifact(1, {}, 0.0f, {}, "binary_crossentropy"));
  EXPECT_EQ(p.predict_batch(std::vector<std::vector<float>>(3, {7.0f})), (std::vector<float>{0.5f, 0.5f, 0.5f}));
}

TEST(PredictorLoading, TreesComeOutInAscendingIndexWhateverTheRecordOrder) {
  const std::vector<engine::TrainedStump> in_order = {stump_at(1, 0, 0, 3, 1.0f, 2.0f), stump_at(1, 2, 1, 4, 4.0f, 8.0f),
                                                      stump_at(3, 0, 1, 1, 16.0f, 32.0f),
                                                      stump_at(3, 1, 0, 0, 64.0f, 128.0f)};
  const std::vector<engine::TrainedStump> shuffled = {in_order[3], in_order[1], in_order[2], in_order[0]};
  const auto build = [](const std::vector<engine::TrainedStump>& stumps) {
    return load(trees_artifact(2, stumps));
  };
  const Predictor b = build(shuffled);
  EXPECT_EQ(b.trees.trees.at(1).tree_index, 3u);
  std::mt19937_64 rng(5);
  const auto rows = random_bin_rows(rng, 50, 2, 5);
  EXPECT_TRUE(same_floats(build(in_order).predict_batch(rows), b.predict_batch(rows)));
  for (const auto& row : rows) {
    EXPECT_TRUE(same_bits(b.predict_batch({&row, 1})[0], reference_raw_score(in_order, 0.0f, row)));
  }
}

TEST(PredictorLoading, GapsInLocalIdsEndTheWalk) {
  // Tree 0 has ids 0 and 5 only: 5 hangs below the missing node 2 and no walk reaches it. Tree 2
  // has no root and adds nothing.
  const std::vector<engine::TrainedStump> stumps = {stump_at(0, 0, 0, 3, 1.0f, 2.0f), stump_at(0, 5, 0, 9, 50.0f, 70.0f),
                                                    stump_at(2, 1, 0, 3, 100.0f, 200.0f)};
  const Predictor p = load(trees_artifact(1, stumps, 0.25f));
  EXPECT_EQ(p.trees.trees.at(0).depth, 1u);
  EXPECT_EQ(predictor::find_node(p.trees, p.trees.trees.at(0), 5), nullptr);
  EXPECT_EQ(p.predict_batch(std::vector<std::vector<float>>{{9.0f}, {1.0f}}), (std::vector<float>{2.25f, 1.25f}));
}

TEST(PredictorLoading, FarApartLocalIdsCostNoMemory) {
  // The deepest ids of 4096 trees: a heap array per tree would need 2^32 slots in all.
  std::vector<engine::TrainedStump> stumps;
  for (std::uint32_t t = 0; t < 4096; ++t) stumps.push_back(stump_at(t, 0xFFFFF, 0, 1, 1.0f, 1.0f));
  stumps.push_back(stump_at(4095, 0, 0, 1, 1.0f, 2.0f));
  const Predictor p = load(trees_artifact(1, stumps));
  EXPECT_EQ(p.trees.tree_count(), 4096u);
  EXPECT_LT(p.trees.nodes.size(), 10u);
  EXPECT_EQ(p.predict_batch(std::vector<std::vector<float>>{{3.0f}}), (std::vector<float>{2.0f}));
}

TEST(PredictorLoading, DuplicateKeysNameTheLowestTreeAndTheFirstRepeat) {
  const std::vector<engine::TrainedStump> stumps = {
      stump_at(4, 7, 0, 1, 1, 1), stump_at(2, 3, 0, 1, 1, 1), stump_at(2, 1, 0, 1, 1, 1), stump_at(4, 7, 0, 1, 1, 1),
      stump_at(2, 1, 0, 1, 1, 1), stump_at(2, 3, 0, 1, 1, 1)};
  EXPECT_TRUE(throws_invalid_model(
      [&] {
        load(trees_artifact(1, stumps));
      },
      "tree 2 contains duplicate local node_id 1"));
}

TEST(PredictorLoading, ExtrasPastTheLastStumpAreIgnored) {
  core::NativeCategoricalSplitsPayload native;
  native.entries = {{0, {0x01}}, {7, {0xFF}}, {0, {0x04}}};  // the later entry for stump 0 wins
  core::LinearLeafEntry far;
  far.stump_index = 9;
  far.left = core::LinearLeaf{{1.0f}, {0}, 5.0f};
  engine::TrainedStump categorical = stump_at(0, 0, 0, 0, 1.0f, 2.0f);
  categorical.categorical = true;
  const Predictor p = load(trees_artifact(
      1, {categorical}, 0.0f,
      {{ModelSectionKind::NativeCategoricalSplits, core::encode_native_categorical_splits_payload(native)},
       {ModelSectionKind::LinearLeafCoefficients, core::encode_linear_leaf_coefficients_payload(std::vector{far})}}));
  EXPECT_EQ(p.predict_batch(std::vector<std::vector<float>>{{0.0f}, {2.0f}}), (std::vector<float>{2.0f, 1.0f}));
}

TEST(PredictorLoading, DartWeightsComeFromEachTreesFirstRecord) {
  const std::vector<engine::TrainedStump> stumps = {stump_at(1, 0, 0, 5, 1.0f, 1.0f), stump_at(0, 0, 0, 5, 1.0f, 1.0f),
                                                    stump_at(1, 1, 0, 5, 1.0f, 1.0f)};
  const auto with_weights = [&](std::vector<float> weights) {
    return trees_artifact(1, stumps, 0.0f,
                          {{ModelSectionKind::DartTreeWeights, core::encode_dart_tree_weights_payload(weights)}});
  };
  const Predictor p = load(with_weights({0.5f, 0.25f, 8.0f}));
  // Tree 0 adds 1 x 0.25, tree 1 two steps of 1 x 0.5.
  EXPECT_EQ(p.predict_batch(std::vector<std::vector<float>>{{0.0f}}), (std::vector<float>{1.25f}));
  EXPECT_TRUE(throws_invalid_model([&] { load(with_weights({1.0f, 1.0f})); }, "DartTreeWeights length 2 != stump count 3"));
}

TEST(PredictorLoading, MulticlassReadsDartWeightsAndPlacesLinearLeavesByGlobalPosition) {
  // Class stump counts 2, 0, 1: global position 2 is stump 0 of class 2, for weights as for linear
  // leaves.
  const std::vector<std::vector<engine::TrainedStump>> classes = {
      {stump_at(0, 0, 0, 3, 1.0f, 1.0f), stump_at(1, 0, 0, 3, 1.0f, 1.0f)}, {}, {stump_at(0, 0, 0, 3, 1.0f, 1.0f)}};
  core::LinearLeafEntry entry;
  entry.stump_index = 2;
  entry.right = core::LinearLeaf{{2.0f}, {1}, 0.5f};
  core::LinearLeafEntry past;
  past.stump_index = 3;
  past.left = core::LinearLeaf{{}, {}, 100.0f};
  const Bytes bytes = artifact_with(
      2,
      {{ModelSectionKind::MultiClassTrees, multiclass_payload(2, {0.0f, 0.0f, 0.0f}, classes)},
       {ModelSectionKind::PredictorLayout, layout_payload(2)},
       {ModelSectionKind::DartTreeWeights, core::encode_dart_tree_weights_payload(std::vector<float>{9.0f, 1.0f, 0.5f})},
       {ModelSectionKind::LinearLeafCoefficients, core::encode_linear_leaf_coefficients_payload(std::vector{entry, past})}},
      "multiclass", 3);
  const Predictor p = load(bytes);
  // Row goes right everywhere: class 0 gets 9 x 1 + 1, class 1 nothing, class 2 0.5 x (0.5 + 3 x 2).
  const std::vector<std::vector<float>> rows = {{4.0f, 3.0f}};
  EXPECT_TRUE(same_floats(p.predict_batch_multiclass(rows), reference_softmax({10.0f, 0.0f, 3.25f})));
}

TEST(PredictorLoading, LoaderFailures) {
  const Bytes trees = trees_payload(2, 0.0f, root_and_left_child());
  const Bytes layout = layout_payload(2);
  const Bytes multiclass = multiclass_payload(2, {0.0f}, {{}});
  core::MultiOutputLeafValuesPayload multi;
  multi.n_outputs = 1;
  multi.stump_values = {{1.0f, 2.0f}, {}};
  struct Case {
    const char* name;
    Bytes artifact;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"two multiclass sections",
       artifact_with(2, {{ModelSectionKind::MultiClassTrees, multiclass}, {ModelSectionKind::MultiClassTrees, multiclass}}),
       "model artifact contains duplicate required MultiClassTrees sections"},
      {"multiclass without layout", artifact_with(2, {{ModelSectionKind::MultiClassTrees, multiclass}}),
       "model artifact missing required PredictorLayout section"},
      {"layout without trees", artifact_with(2, {{ModelSectionKind::PredictorLayout, layout}}),
       "legacy-compatible mode only supports strict dual-section artifacts or legacy Trees-only artifacts (found "
       "Trees=0, PredictorLayout=1)"},
      {"layout disagrees with names",
       artifact_with(3, {{ModelSectionKind::Trees, trees}, {ModelSectionKind::PredictorLayout, layout}}),
       "predictor layout feature_count 2 does not match metadata feature count 3"},
      {"trees disagree with layout",
       artifact_with(3, {{ModelSectionKind::Trees, trees}, {ModelSectionKind::PredictorLayout, layout_payload(3)}}),
       "trees payload feature_count 2 does not match predictor layout feature_count 3"},
      {"multiclass layout disagrees",
       artifact_with(3, {{ModelSectionKind::MultiClassTrees, multiclass}, {ModelSectionKind::PredictorLayout, layout}}),
       "predictor layout feature_count 2 does not match metadata feature count 3"},
      {"multiclass trees disagree",
       artifact_with(3, {{ModelSectionKind::MultiClassTrees, multiclass},
                         {ModelSectionKind::PredictorLayout, layout_payload(3)}}),
       "multiclass trees feature_count 2 does not match metadata feature count 3"},
      {"payload before feature counts",
       artifact_with(3, {{ModelSectionKind::Trees, Bytes(3, 0)}, {ModelSectionKind::PredictorLayout, layout}}),
       "model payload too small"},
      {"multi-output model",
       artifact_with(2, {{ModelSectionKind::Trees, trees}, {ModelSectionKind::PredictorLayout, layout},
                         {ModelSectionKind::MultiOutputLeafValues, core::encode_multi_output_leaf_values_payload(multi)}}),
       "model artifact carries MultiOutputLeafValues; multi-output models are scored by the joint predictor"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(throws_invalid_model([&] { load(c.artifact); }, c.message)) << c.name;
  }
}

TEST(PredictorLoading, ContainerFailuresPassThroughAsCoreErrors) {
  const Bytes good = trees_artifact(2, root_and_left_child());
  try {
    load(Bytes(good.begin(), good.begin() + 10));
    ADD_FAILURE() << "loaded";
  } catch (const predictor::PredictorError& error) {
    ASSERT_EQ(error.kind(), PredictorErrorKind::Core);
    EXPECT_EQ(error.core()->kind(), core::CoreErrorKind::Serialization);
    EXPECT_STREQ(error.what(), "serialization error: artifact too small to contain model header");
    EXPECT_EQ(error.debug(), "Core(Serialization(\"artifact too small to contain model header\"))");
  }
}

}  // namespace
}  // namespace kestrune

// Tree weights in multiclass artifacts: written when some tree was rescaled, read back by the
// model decoder and by the predictor, so that a reloaded DART model predicts as trained.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "../artifact_test_support.hpp"
#include "../engine_test_support.hpp"
#include "core/artifact/container.hpp"
#include "core/artifact/metadata_payloads.hpp"
#include "engine/artifact_sections.hpp"
#include "engine/multiclass_model.hpp"
#include "predictor/error.hpp"
#include "predictor/predictor.hpp"

namespace kestrune::engine {
namespace {

using artifact_testing::numeric_stump;
using artifact_testing::section_kinds;
using testing_support::throws_engine_error;
using K = core::ModelSectionKind;

// Class 0: trees 0 (two stumps) and 1; class 1: tree 1 only; class 2: nothing.
MultiClassTrainedModel weighted_model(float class0_tree1, float class1_tree1) {
  MultiClassTrainedModel model;
  model.num_classes = 3;
  model.feature_count = 2;
  model.objective = "multiclass_softmax";
  model.class_baselines = {0.1f, -0.2f, 0.0f};
  model.class_stumps = {
      {numeric_stump(0, 0, 3, -1.0f, 1.0f), numeric_stump(1, 1, 5, 0.25f, -0.5f),
       numeric_stump(1u << 20, 1, 2, 2.0f, -2.0f)},
      {numeric_stump(1u << 20, 0, 4, 0.75f, -0.75f)},
      {},
  };
  for (TrainedStump& stump : model.class_stumps[0]) {
    if (stump.node_id >> 20 == 1) stump.tree_weight = class0_tree1;
  }
  model.class_stumps[1][0].tree_weight = class1_tree1;
  return model;
}

std::vector<float> weights_of(const MultiClassTrainedModel& model) {
  std::vector<float> weights;
  for (const auto& stumps : model.class_stumps) {
    for (const TrainedStump& stump : stumps) weights.push_back(stump.tree_weight);
  }
  return weights;
}

TEST(MulticlassArtifact, TreeWeightsAreWrittenOnlyWhenSomeTreeWasRescaled) {
  const MultiClassTrainedModel plain = weighted_model(1.0f, 1.0f + std::numeric_limits<float>::epsilon());
  EXPECT_EQ(section_kinds(plain.to_artifact_bytes()), (std::vector<K>{K::MultiClassTrees, K::PredictorLayout}));

  const MultiClassTrainedModel model = weighted_model(0.5f, 0.25f);
  const std::vector<std::uint8_t> bytes = model.to_artifact_bytes();
  EXPECT_EQ(section_kinds(bytes), (std::vector<K>{K::MultiClassTrees, K::PredictorLayout, K::DartTreeWeights}));
  const MultiClassTrainedModel back = MultiClassTrainedModel::from_artifact_bytes(bytes);
  EXPECT_EQ(weights_of(back), (std::vector<float>{1.0f, 1.0f, 0.5f, 0.25f}));
  EXPECT_EQ(back.to_artifact_bytes(), bytes);
}

TEST(MulticlassArtifact, PredictorScalesEachClassTreeByItsWeight) {
  const MultiClassTrainedModel model = weighted_model(0.5f, 0.25f);
  const predictor::Predictor loaded = predictor::Predictor::from_artifact_bytes(model.to_artifact_bytes());
  // Row (bin 0, bin 9): class 0 adds -1 + (-0.5) from tree 0 and 0.5 x -2 from tree 1; class 1
  // adds 0.25 x 0.75.
  const std::vector<float> row = {0.0f, 9.0f};
  const std::vector<float> p = loaded.predict_batch_dense_multiclass(row, 1, 2);
  const double margins[3] = {0.1 - 1.0 - 0.5 - 1.0, -0.2 + 0.25 * 0.75, 0.0};
  double sum = 0.0;
  for (const double m : margins) sum += std::exp(m);
  ASSERT_EQ(p.size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(p[k], std::exp(margins[k]) / sum, 1e-6) << k;
}

TEST(MulticlassArtifact, AWeightListOfTheWrongLengthIsRefusedByBothReaders) {
  const MultiClassTrainedModel model = weighted_model(0.5f, 1.0f);
  std::vector<core::SectionPayload> sections;
  const core::ParsedModelArtifactV1 parsed = core::deserialize_model_artifact_v1(model.to_artifact_bytes());
  for (const core::ModelArtifactSection& section : parsed.sections) {
    if (section.kind == K::DartTreeWeights) continue;
    sections.emplace_back(section.kind, section.payload);
  }
  sections.emplace_back(K::DartTreeWeights, core::encode_dart_tree_weights_payload(std::vector<float>{1.0f, 0.5f}));
  const std::vector<std::uint8_t> bytes =
      core::serialize_model_artifact_v1(model_metadata_for(2, "multiclass_softmax", 3u), sections);

  EXPECT_TRUE(throws_engine_error([&] { MultiClassTrainedModel::from_artifact_bytes(bytes); },
                                  EngineErrorKind::ContractViolation, "DartTreeWeights length 2 != stump count 4"));
  try {
    predictor::Predictor::from_artifact_bytes(bytes);
    ADD_FAILURE() << "the predictor accepted a short weight list";
  } catch (const predictor::PredictorError& error) {
    EXPECT_EQ(error.message(), "DartTreeWeights length 2 != stump count 4");
  }
}

}  // namespace
}  // namespace kestrune::engine

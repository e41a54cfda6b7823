#include "engine/multiclass_model.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "../core/artifact/payload_test_support.hpp"
#include "artifact_test_support.hpp"
#include "engine/artifact_sections.hpp"

namespace kestrune {
namespace {

using engine::MultiClassTrainedModel;
using engine::TrainedStump;
using namespace artifact_testing;
using K = core::ModelSectionKind;

MultiClassTrainedModel model_with_counts(std::vector<std::size_t> counts) {
  MultiClassTrainedModel model;
  model.num_classes = counts.size();
  model.feature_count = 3;
  model.objective = "multiclass_softmax";
  for (std::size_t k = 0; k < counts.size(); ++k) {
    model.class_baselines.push_back(0.5f * static_cast<float>(k));
    std::vector<TrainedStump> stumps;
    for (std::uint32_t j = 0; j < counts[k]; ++j) {
      stumps.push_back(numeric_stump((j << 20) | 0, static_cast<std::uint32_t>(k), static_cast<std::uint16_t>(j), -1.0f, 1.0f));
    }
    model.class_stumps.push_back(std::move(stumps));
  }
  return model;
}

const core::ModelArtifactSection& only_section(const core::ParsedModelArtifactV1& parsed, K kind) {
  return *std::find_if(parsed.sections.begin(), parsed.sections.end(), [&](const auto& s) { return s.kind == kind; });
}

Bytes artifact_of(std::vector<core::SectionPayload> sections, std::size_t features = 3) {
  return core::serialize_model_artifact_v1(engine::model_metadata_for(features, "multiclass_softmax", 2u), sections);
}

TEST(MultiClass, RecordsFollowClassOrder) {
  const MultiClassTrainedModel model = model_with_counts({2, 0, 1});
  const auto parsed = core::deserialize_model_artifact_v1(model.to_artifact_bytes());
  const Bytes& payload = only_section(parsed, K::MultiClassTrees).payload;
  ASSERT_EQ(payload.size(), 132u);
  EXPECT_EQ(Bytes(payload.begin() + 24, payload.begin() + 36), bytes_of(u32(2), u32(0), u32(1)));
  EXPECT_EQ(Bytes(payload.begin() + 100, payload.begin() + 108), bytes_of(u32(0), u32(2)));  // class 2's stump

  const MultiClassTrainedModel back = MultiClassTrainedModel::from_artifact_bytes(model.to_artifact_bytes());
  EXPECT_EQ(back.class_baselines, model.class_baselines);
  EXPECT_EQ(back.rounds_completed(), 2u);  // class 0's trees
  for (std::size_t k = 0; k < 3; ++k) {
    ASSERT_EQ(back.class_stumps[k].size(), model.class_stumps[k].size());
    for (std::size_t j = 0; j < back.class_stumps[k].size(); ++j) {
      EXPECT_TRUE(same_stump(back.class_stumps[k][j], as_reloaded(model.class_stumps[k][j])));
    }
  }
}

TEST(MultiClass, PayloadChecks) {
  const auto trees = [](Bytes payload) { return artifact_of({{K::MultiClassTrees, std::move(payload)}}); };
  const Bytes good = bytes_of(u32(1), u32(3), u32(3), f32(0), f32(0), f32(0), u32(2), u32(0), u32(1), raw(Bytes(96, 0)));
  const std::pair<Bytes, std::string> cases[] = {
      {artifact_of({{K::MultiClassTrees, good}, {K::MultiClassTrees, good}}),
       "model artifact contains duplicate required MultiClassTrees sections"},
      {trees(bytes_of(u32(2), u32(0), u32(0))), "unsupported multiclass trees format version 2"},
      {trees(Bytes(good.begin(), good.end() - 1)),
       "multiclass trees payload length 131 does not match expected 132"},
      {trees(bytes_of(u32(1), u32(0xFFFFFFFF), u32(3))), "multiclass trees payload too small for baselines"},
      {trees(bytes_of(u32(1), u32(2), u32(3), f32(0), f32(0), u32(0xFFFFFFFF), u32(0xFFFFFFFF))),
       "multiclass trees payload length 28 does not match expected 274877906908"},
  };
  for (const auto& [artifact, message] : cases) {
    EXPECT_TRUE(throws_contract_violation([&] { MultiClassTrainedModel::from_artifact_bytes(artifact); }, message));
  }
  EXPECT_EQ(MultiClassTrainedModel::from_artifact_bytes(trees(good)).class_stumps[0].size(), 2u);
}

}  // namespace
}  // namespace kestrune

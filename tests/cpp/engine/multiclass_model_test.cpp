#include "engine/multiclass_model.hpp"

#include <gtest/gtest.h>

#include "../core/artifact/payload_test_support.hpp"
#include "artifact_test_support.hpp"
#include "core/artifact/linear_leaf_payload.hpp"
#include "core/artifact/native_categorical_payload.hpp"
#include "engine/artifact_sections.hpp"

namespace kestrune {
namespace {

using core::CoreErrorKind;
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
  for (const auto& section : parsed.sections) {
    if (section.kind == kind) return section;
  }
  throw std::runtime_error("section not found");
}

Bytes artifact_of(std::vector<core::SectionPayload> sections, std::size_t features = 3) {
  return core::serialize_model_artifact_v1(engine::model_metadata_for(features, "multiclass_softmax", 2u), sections);
}

TEST(MultiClass, EmptyClassesLayout) {
  const Bytes bytes = model_with_counts({0, 0, 0}).to_artifact_bytes();
  const auto parsed = core::deserialize_model_artifact_v1(bytes);
  EXPECT_EQ(parsed.contract.metadata.num_classes, std::optional<std::uint32_t>(3));
  EXPECT_EQ(parsed.contract.metadata.feature_names, (std::vector<std::string>{"f0", "f1", "f2"}));
  EXPECT_EQ(section_kinds(bytes), (std::vector<K>{K::MultiClassTrees, K::PredictorLayout}));
  EXPECT_EQ(only_section(parsed, K::MultiClassTrees).payload,
            bytes_of(u32(1), u32(3), u32(3), f32(0.0f), f32(0.5f), f32(1.0f), u32(0), u32(0), u32(0)));
  EXPECT_EQ(only_section(parsed, K::PredictorLayout).payload, bytes_of(u32(1), u32(3), u32(1)));

  EXPECT_EQ(MultiClassTrainedModel::from_artifact_bytes(bytes).to_artifact_bytes(), bytes);
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

TEST(MultiClass, RoundsCountOnlyClassZero) {
  MultiClassTrainedModel model = model_with_counts({2, 5});
  EXPECT_EQ(model.rounds_completed(), 2u);
  model.class_stumps[0].clear();
  EXPECT_EQ(model.rounds_completed(), 0u);
}

TEST(MultiClass, LinearLeavesAndBitsetsUseGlobalPositions) {
  MultiClassTrainedModel model = model_with_counts({2, 0, 1});
  model.class_stumps[2][0].left = core::LinearLeaf{{0.5f}, {1}, 0.25f};
  model.class_stumps[0][1].categorical = true;
  model.class_stumps[0][1].category_bitset = Bytes{0x06};
  model.class_stumps[2][0].categorical = true;  // no bitset: routes by default_left
  model.class_stumps[2][0].feature_index = 1;
  model.categorical_state = core::CategoricalStatePayloadV1{{0}, 1, false};
  model.morph_metadata = core::MorphMetadata{};
  model.dro_metadata = core::DroMetadata{1.0f, core::DroMetric::Wasserstein};
  const Bytes bytes = model.to_artifact_bytes();
  EXPECT_EQ(section_kinds(bytes), (std::vector<K>{K::MultiClassTrees, K::PredictorLayout, K::CategoricalState,
                                                  K::NativeCategoricalSplits, K::MorphMetadata, K::DroMetadata,
                                                  K::LinearLeafCoefficients}));
  const auto parsed = core::deserialize_model_artifact_v1(bytes);
  const auto linear = core::decode_linear_leaf_coefficients_payload(only_section(parsed, K::LinearLeafCoefficients).payload);
  EXPECT_EQ(linear.at(0).stump_index, 2u);
  const auto native = core::decode_native_categorical_splits_payload(only_section(parsed, K::NativeCategoricalSplits).payload);
  EXPECT_EQ(native, (core::NativeCategoricalSplitsPayload{{0, 1}, {{1, {0x06}}}}));

  const MultiClassTrainedModel back = MultiClassTrainedModel::from_artifact_bytes(bytes);
  for (std::size_t k = 0; k < 3; ++k) {
    for (std::size_t j = 0; j < back.class_stumps[k].size(); ++j) {
      EXPECT_TRUE(same_stump(back.class_stumps[k][j], as_reloaded(model.class_stumps[k][j]))) << k << "/" << j;
    }
  }
  EXPECT_EQ(back.to_artifact_bytes(), bytes);
}

TEST(MultiClass, ReaderIgnoresPositionsPastTheLastStump) {
  const MultiClassTrainedModel model = model_with_counts({2, 0, 1});
  const auto parsed = core::deserialize_model_artifact_v1(model.to_artifact_bytes());
  const Bytes trees = only_section(parsed, K::MultiClassTrees).payload;
  const core::LinearLeafCoefficientsPayload linear = {{std::nullopt, core::LinearLeaf{{2.0f}, {0}, 1.0f}, 2},
                                                      {core::LinearLeaf{{2.0f}, {0}, 1.0f}, std::nullopt, 3}};
  const core::NativeCategoricalSplitsPayload native{{}, {{3, {1}}, {0, {9}}}};
  const Bytes bytes = artifact_of({{K::MultiClassTrees, trees},
                                   {K::NativeCategoricalSplits, core::encode_native_categorical_splits_payload(native)},
                                   {K::LinearLeafCoefficients, core::encode_linear_leaf_coefficients_payload(linear)}});
  const MultiClassTrainedModel back = MultiClassTrainedModel::from_artifact_bytes(bytes);
  EXPECT_NE(core::linear_leaf_if(back.class_stumps[2][0].right), nullptr);
  EXPECT_TRUE(std::holds_alternative<float>(back.class_stumps[2][0].left));
  EXPECT_EQ(back.class_stumps[0][0].category_bitset, Bytes{9});
  EXPECT_FALSE(back.class_stumps[0][1].category_bitset.has_value());
  EXPECT_EQ(back.num_classes, 3u);  // from the payload, not the metadata's 2
}

TEST(MultiClass, PayloadChecks) {
  const auto trees = [](Bytes payload) { return artifact_of({{K::MultiClassTrees, std::move(payload)}}); };
  struct Case {
    const char* name;
    Bytes artifact;
    std::string message;
  };
  const Bytes good = bytes_of(u32(1), u32(3), u32(3), f32(0), f32(0), f32(0), u32(2), u32(0), u32(1), raw(Bytes(96, 0)));
  const std::vector<Case> cases = {
      {"no trees section", artifact_of({{K::Trees, Bytes(16, 0)}}), "model artifact missing required MultiClassTrees section"},
      {"two trees sections", artifact_of({{K::MultiClassTrees, good}, {K::MultiClassTrees, good}}),
       "model artifact contains duplicate required MultiClassTrees sections"},
      {"11 bytes", trees(Bytes(11, 0)), "multiclass trees payload too small"},
      {"version", trees(bytes_of(u32(2), u32(0), u32(0))), "unsupported multiclass trees format version 2"},
      {"baselines", trees(bytes_of(u32(1), u32(2), u32(3), f32(0))), "multiclass trees payload too small for baselines"},
      {"counts", trees(bytes_of(u32(1), u32(2), u32(3), f32(0), f32(0), u32(0))),
       "multiclass trees payload too small for stump counts"},
      {"one byte short", trees(Bytes(good.begin(), good.end() - 1)),
       "multiclass trees payload length 131 does not match expected 132"},
      {"huge class count", trees(bytes_of(u32(1), u32(0xFFFFFFFF), u32(3))), "multiclass trees payload too small for baselines"},
      {"huge stump counts", trees(bytes_of(u32(1), u32(2), u32(3), f32(0), f32(0), u32(0xFFFFFFFF), u32(0xFFFFFFFF))),
       "multiclass trees payload length 28 does not match expected 274877906908"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(throws_contract_violation([&] { MultiClassTrainedModel::from_artifact_bytes(c.artifact); }, c.message))
        << c.name;
  }
  EXPECT_EQ(MultiClassTrainedModel::from_artifact_bytes(trees(good)).class_stumps[0].size(), 2u);
}

TEST(MultiClass, WriterRefusesInconsistentShapes) {
  MultiClassTrainedModel baselines = model_with_counts({1, 1});
  baselines.class_baselines.pop_back();
  EXPECT_TRUE(throws_contract_violation([&] { baselines.to_artifact_bytes(); },
                                        "class_baselines length 1 does not match num_classes 2"));
  MultiClassTrainedModel lists = model_with_counts({1, 1});
  lists.num_classes = 3;
  lists.class_baselines.push_back(0.0f);
  EXPECT_TRUE(throws_contract_violation([&] { lists.to_artifact_bytes(); },
                                        "class_stumps length 2 does not match num_classes 3"));
  MultiClassTrainedModel classes = model_with_counts({});
  classes.num_classes = std::size_t{1} << 32;
  EXPECT_TRUE(throws_contract_violation([&] { classes.to_artifact_bytes(); }, "num_classes exceeds u32::MAX"));
  MultiClassTrainedModel state = model_with_counts({1});
  state.categorical_state = core::CategoricalStatePayloadV1{{3}, 1, false};
  EXPECT_TRUE(throws_wrapped_core_error([&] { state.to_artifact_bytes(); }, CoreErrorKind::Validation,
                                        "categorical state feature index 3 is out of bounds for feature_count 3"));
}

}  // namespace
}  // namespace kestrune

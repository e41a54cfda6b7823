#include "engine/trained_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "../core/artifact/payload_test_support.hpp"
#include "artifact_test_support.hpp"
#include "core/artifact/linear_leaf_payload.hpp"
#include "core/artifact/multi_output_payload.hpp"
#include "core/artifact/native_categorical_payload.hpp"
#include "engine/artifact_sections.hpp"
#include "engine/tree_payload.hpp"

namespace kestrune {
namespace {

using core::CoreErrorKind;
using core::ModelSectionKind;
using engine::TrainedModel;
using engine::TrainedStump;
using namespace artifact_testing;
using K = ModelSectionKind;

Bytes as_bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

// A container around any metadata text, for artifacts the writer would never produce.
Bytes artifact_with_json(std::string_view json, const std::vector<core::SectionPayload>& sections) {
  support::ByteWriter writer;
  writer.put_bytes(as_bytes("KSTR"));
  writer.put_u32(1);
  writer.put_u32(static_cast<std::uint32_t>(sections.size()));
  writer.put_u32(static_cast<std::uint32_t>(json.size()));
  std::uint64_t offset = 16 + 20 * sections.size() + json.size();
  for (const auto& [kind, payload] : sections) {
    writer.put_u32(core::section_kind_code(kind));
    writer.put_u64(offset);
    writer.put_u64(payload.size());
    offset += payload.size();
  }
  writer.put_bytes(as_bytes(json));
  for (const auto& section : sections) writer.put_bytes(section.second);
  return writer.take();
}

Bytes artifact_of(std::size_t feature_count, const std::vector<core::SectionPayload>& sections) {
  return core::serialize_model_artifact_v1(engine::model_metadata_for(feature_count, "squared_error", std::nullopt),
                                           sections);
}

TrainedModel plain_model() {
  TrainedModel model;
  model.feature_count = 2;
  model.base_prediction = 0.5f;
  model.stumps = {numeric_stump(0, 1, 3, -0.25f, 0.25f)};
  return model;
}

TEST(TrainedModel, RoundsCompleted) {
  TrainedModel model;
  EXPECT_EQ(model.rounds_completed(), 0u);
  model.stumps = {numeric_stump(0, 0, 0, 0, 0), numeric_stump(3u << 20, 0, 0, 0, 0), numeric_stump((3u << 20) | 1, 0, 0, 0, 0)};
  EXPECT_EQ(model.rounds_completed(), 4u);
}

TEST(TrainedModel, PlainModelGoldenArtifact) {
  const std::string json =
      R"({"format_version":1,"feature_names":["f0","f1"],"trained_device":"cpu","objective":"squared_error"})";
  ASSERT_EQ(json.size(), 99u);
  const Bytes expected = bytes_of(raw(as_bytes("KSTR")), u32(1), u32(2), u32(99),                    //
                                  u32(1), u32(155), u32(0), u32(48), u32(0),                        // Trees
                                  u32(2), u32(203), u32(0), u32(12), u32(0),                        // PredictorLayout
                                  raw(as_bytes(json)),                                              //
                                  u32(1), u32(2), u32(1), f32(0.5f),                                // Trees header
                                  u32(0), u32(1), u16(3), u16(0), f32(1.5f), f32(-0.25f), f32(0.25f), u32(3), u32(5),
                                  u32(1), u32(2), u32(1));                                          // layout
  const Bytes bytes = plain_model().to_artifact_bytes();
  EXPECT_EQ(bytes, expected);
  const TrainedModel back = TrainedModel::from_artifact_bytes_with_mode(bytes, 0);
  EXPECT_EQ(back.to_artifact_bytes(), expected);
  EXPECT_TRUE(same_stump(back.stumps.at(0), as_reloaded(plain_model().stumps[0])));
}

TrainedModel full_model() {
  TrainedModel model;
  model.feature_count = 4;
  model.base_prediction = -1.25f;
  model.objective = "quantile";
  TrainedStump categorical = numeric_stump(0, 3, 0, 0.5f, -0.5f);
  categorical.categorical = true;
  categorical.category_bitset = Bytes{0x0A, 0x00, 0x01};
  categorical.tree_weight = 0.5f;
  TrainedStump empty_bitset = numeric_stump(1, 3, 0, 0.0f, 0.0f);
  empty_bitset.categorical = true;
  empty_bitset.category_bitset = Bytes{};
  TrainedStump linear = numeric_stump(1u << 20, 0, 9, 0.0f, 0.0f);
  linear.left = core::LinearLeaf{{0.5f, -1.0f}, {2, 0}, 0.125f};
  linear.right = core::LinearLeaf{{}, {}, 2.0f};
  linear.default_left = true;
  linear.multi_output = engine::MultiOutputValues{{1.0f, 2.0f}, {3.0f, 4.0f}};
  model.stumps = {categorical, empty_bitset, linear};
  model.native_categorical_features = {3};
  model.categorical_state = core::CategoricalStatePayloadV1{{1, 3}, 1, true};
  model = std::move(model).with_node_debug_stats_from_stumps();
  model.morph_metadata = core::MorphMetadata{{{0.1f, 0.9f, 0.05f}}, {}, 2, 10};
  model.dro_metadata = core::DroMetadata{0.75f, core::DroMetric::Wasserstein};
  model.neutralization_metadata = core::NeutralizationMetadata{0.5f, 0.0f, core::NeutralizationKind::PerRoundGradient};
  model.feature_baseline = std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f};
  return model;
}

TEST(TrainedModel, EveryPartSurvivesARoundTrip) {
  const TrainedModel model = full_model();
  const Bytes bytes = model.to_artifact_bytes();
  EXPECT_EQ(section_kinds(bytes),
            (std::vector<K>{K::Trees, K::PredictorLayout, K::CategoricalState, K::NodeDebugStats, K::NativeCategoricalSplits,
                            K::MorphMetadata, K::DroMetadata, K::NeutralizationMetadata, K::LinearLeafCoefficients,
                            K::FeatureBaseline, K::DartTreeWeights, K::MultiOutputLeafValues}));
  const TrainedModel back = TrainedModel::from_artifact_bytes(bytes);
  ASSERT_EQ(back.stumps.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_TRUE(same_stump(back.stumps[i], as_reloaded(model.stumps[i]))) << i;
  // Every other part is checked by writing the decoded model again.
  EXPECT_EQ(back.to_artifact_bytes(), bytes);
}

// The fuzz seed: two trees at different weights, multi-output values on categorical and linear
// stumps alike.
TEST(TrainedModel, TwoTreesWithMultiOutputValuesSurviveARoundTrip) {
  const TrainedModel model = full_trained_model();
  const Bytes bytes = model.to_artifact_bytes();
  const TrainedModel back = TrainedModel::from_artifact_bytes(bytes);
  ASSERT_EQ(back.stumps.size(), model.stumps.size());
  for (std::size_t i = 0; i < model.stumps.size(); ++i) EXPECT_TRUE(same_stump(back.stumps[i], as_reloaded(model.stumps[i]))) << i;
  EXPECT_EQ(back.to_artifact_bytes(), bytes);
  EXPECT_EQ(back.rounds_completed(), 2u);  // the highest tree index plus one
}

TEST(TrainedModel, OptionalSectionsAppearOnlyWhenTheirDataDoes) {
  const auto kinds_of = [](const TrainedModel& model) { return section_kinds(model.to_artifact_bytes()); };
  const std::vector<K> plain = {K::Trees, K::PredictorLayout};

  TrainedModel weights = plain_model();
  weights.stumps.push_back(weights.stumps[0]);
  weights.stumps[0].tree_weight = 1.0f + std::numeric_limits<float>::epsilon();  // within epsilon: not rescaled
  weights.feature_baseline = std::vector<float>{0.0f, 0.0f};                    // no linear leaf: not written
  EXPECT_EQ(kinds_of(weights), plain);

  weights.stumps[1].tree_weight = 0.5f;
  const Bytes bytes = weights.to_artifact_bytes();
  EXPECT_EQ(section_kinds(bytes), (std::vector<K>{K::Trees, K::PredictorLayout, K::DartTreeWeights}));
  EXPECT_EQ(TrainedModel::from_artifact_bytes(bytes).stumps[1].tree_weight, 0.5f);

  TrainedModel nan_weight = plain_model();
  nan_weight.stumps[0].tree_weight = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(std::isnan(TrainedModel::from_artifact_bytes(nan_weight.to_artifact_bytes()).stumps[0].tree_weight));

  TrainedModel linear = plain_model();
  linear.stumps[0].right = core::LinearLeaf{{1.0f}, {1}, 0.0f};
  linear.feature_baseline = std::vector<float>{0.0f};  // wrong length: not written
  EXPECT_EQ(kinds_of(linear), (std::vector<K>{K::Trees, K::PredictorLayout, K::LinearLeafCoefficients}));

  TrainedModel stats = plain_model();
  stats.node_debug_stats = std::vector<engine::NodeDebugStatsRecord>{};  // an empty list is still written
  EXPECT_EQ(kinds_of(stats), (std::vector<K>{K::Trees, K::PredictorLayout, K::NodeDebugStats}));
}

TEST(TrainedModel, CategoricalSplitWithoutBitsetStaysWithoutOne) {
  TrainedModel model = plain_model();
  model.stumps[0].categorical = true;
  model.stumps[0].default_left = true;
  const TrainedModel back = TrainedModel::from_artifact_bytes(model.to_artifact_bytes());
  EXPECT_TRUE(back.stumps[0].categorical);
  EXPECT_FALSE(back.stumps[0].category_bitset.has_value());  // still routes by default_left
}

TEST(TrainedModel, WriterRefusesWhatAReaderWouldRejectOrMisread) {
  struct Case {
    const char* name;
    std::function<void(TrainedModel&)> change;
    std::function<::testing::AssertionResult(std::function<void()>)> expect;
  };
  const auto contract = [](std::string message) {
    return [message](std::function<void()> body) { return throws_contract_violation(body, message); };
  };
  const auto core_error = [](CoreErrorKind kind, std::string message) {
    return [kind, message](std::function<void()> body) { return throws_wrapped_core_error(body, kind, message); };
  };
  const std::vector<Case> cases = {
      {"ragged multi-output",
       [](TrainedModel& m) {
         m.stumps.push_back(m.stumps[0]);
         m.stumps[0].multi_output = engine::MultiOutputValues{{1, 2}, {3, 4}};
         m.stumps[1].multi_output = engine::MultiOutputValues{{1, 2}, {3}};
       },
       contract("multi_output values of stump 1 hold 2 left and 1 right values, expected 2 each")},
      {"empty multi-output", [](TrainedModel& m) { m.stumps[0].multi_output = engine::MultiOutputValues{}; },
       contract("multi_output values of stump 0 hold no outputs")},
      {"linear leaf with mismatched terms",
       [](TrainedModel& m) { m.stumps[0].left = core::LinearLeaf{{1.0f, 2.0f}, {0}, 0.0f}; },
       core_error(CoreErrorKind::Validation, "left linear leaf of stump 0 has 2 coefficients but 1 feature indices")},
      {"categorical state beyond the features",
       [](TrainedModel& m) { m.categorical_state = core::CategoricalStatePayloadV1{{0, 2}, 1, false}; },
       core_error(CoreErrorKind::Validation, "categorical state feature index 2 is out of bounds for feature_count 2")},
      {"oversized bitset",
       [](TrainedModel& m) {
         m.stumps[0].categorical = true;
         m.stumps[0].category_bitset = Bytes(70000, 1);
       },
       core_error(CoreErrorKind::Serialization, "bitset length exceeds u16::MAX")},
      {"too many features", [](TrainedModel& m) { m.feature_count = std::size_t{1} << 32; },
       contract("feature_count exceeds u32::MAX")},
  };
  for (const Case& c : cases) {
    TrainedModel model = plain_model();
    c.change(model);
    EXPECT_TRUE(c.expect([&] { model.to_artifact_bytes(); })) << c.name;
  }
}

TEST(TrainedModel, RequiredSectionModes) {
  const Bytes trees = engine::encode_trained_model_payload(plain_model());
  const Bytes trees_only = artifact_of(2, {{K::Trees, trees}});
  EXPECT_TRUE(throws_contract_violation([&] { TrainedModel::from_artifact_bytes_with_mode(trees_only, 0); },
                                        "strict compatibility mode requires exactly one Trees and one PredictorLayout "
                                        "section (found Trees=1, PredictorLayout=0)"));
  EXPECT_EQ(TrainedModel::from_artifact_bytes(trees_only).stumps.size(), 1u);

  const Bytes with_extra = artifact_of(2, {{K::Trees, trees}, {K::ShapAux, {1}}});
  EXPECT_TRUE(throws_contract_violation([&] { TrainedModel::from_artifact_bytes(with_extra); },
                                        "legacy-compatible mode only supports strict dual-section artifacts or legacy "
                                        "Trees-only artifacts (found Trees=1, PredictorLayout=0)"));
  EXPECT_TRUE(throws_engine_error([&] { TrainedModel::from_artifact_bytes_with_mode(trees_only, 7); },
                                  engine::EngineErrorKind::InvalidConfig,
                                  "required section mode must be 0 (strict) or 1 (legacy-compatible), got 7"));
}

TEST(TrainedModel, MissingObjectiveReadsAsSquaredError) {
  const Bytes bytes = artifact_with_json(R"({"format_version":1,"feature_names":["a","b"],"trained_device":"cpu"})",
                                         {{K::Trees, engine::encode_trained_model_payload(plain_model())},
                                          {K::PredictorLayout, engine::encode_predictor_layout_payload(2)}});
  EXPECT_EQ(TrainedModel::from_artifact_bytes_with_mode(bytes, 0).objective, "squared_error");
}

TEST(TrainedModel, ReaderChecksInOrder) {
  const Bytes trees = engine::encode_trained_model_payload(plain_model());  // says 2 features
  const Bytes layout2 = engine::encode_predictor_layout_payload(2);
  const auto dart = [](std::vector<float> w) { return core::encode_dart_tree_weights_payload(w); };
  const auto multi = [](std::uint32_t k, std::vector<std::vector<float>> lists) {
    return core::encode_multi_output_leaf_values_payload({std::move(lists), k});
  };
  struct Case {
    const char* name;
    Bytes artifact;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"layout disagrees with names", artifact_of(2, {{K::Trees, trees}, {K::PredictorLayout, engine::encode_predictor_layout_payload(3)}}),
       "predictor layout feature_count 3 does not match metadata feature count 2"},
      {"trees disagree with layout", artifact_of(5, {{K::Trees, trees}, {K::PredictorLayout, engine::encode_predictor_layout_payload(5)}}),
       "decoded trees feature_count 2 does not match predictor layout feature_count 5"},
      {"trees payload before layout match", artifact_of(2, {{K::Trees, Bytes(3, 0)}, {K::PredictorLayout, layout2}}),
       "model payload too small"},
      {"duplicate node stats",
       artifact_of(2, {{K::Trees, trees}, {K::PredictorLayout, layout2}, {K::NodeDebugStats, bytes_of(u32(1), u32(0))},
                       {K::NodeDebugStats, bytes_of(u32(1), u32(0))}}),
       "model artifact contains duplicate required NodeDebugStats sections"},
      {"dart weights short", artifact_of(2, {{K::Trees, trees}, {K::PredictorLayout, layout2}, {K::DartTreeWeights, dart({})}}),
       "DartTreeWeights length 0 != stump count 1"},
      {"multi-output list count",
       artifact_of(2, {{K::Trees, trees}, {K::PredictorLayout, layout2}, {K::MultiOutputLeafValues, multi(2, {{}, {}})}}),
       "MultiOutputLeafValues length 2 != stump count 1"},
      {"multi-output entry length",
       artifact_of(2, {{K::Trees, trees}, {K::PredictorLayout, layout2}, {K::MultiOutputLeafValues, multi(2, {{1, 2, 3}})}}),
       "MultiOutputLeafValues stump entry has 3 values, expected 2 × n_outputs = 4"},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(throws_contract_violation([&] { TrainedModel::from_artifact_bytes(c.artifact); }, c.message)) << c.name;
  }
  const Bytes duplicate_dro = artifact_of(2, {{K::Trees, trees},
                                              {K::PredictorLayout, layout2},
                                              {K::DroMetadata, core::encode_dro_metadata_payload({})},
                                              {K::DroMetadata, core::encode_dro_metadata_payload({})}});
  EXPECT_TRUE(throws_wrapped_core_error([&] { TrainedModel::from_artifact_bytes(duplicate_dro); },
                                        CoreErrorKind::Serialization, "model artifact contains duplicate DroMetadata sections"));
  EXPECT_TRUE(throws_wrapped_core_error([&] { TrainedModel::from_artifact_bytes(Bytes(15, 0)); },
                                        CoreErrorKind::Serialization, "artifact too small to contain model header"));
  const Bytes state_out_of_range = artifact_of(
      2, {{K::Trees, trees}, {K::PredictorLayout, layout2},
          {K::CategoricalState, core::encode_categorical_state_payload_v1({{2}, 1, false})}});
  EXPECT_TRUE(throws_wrapped_core_error([&] { TrainedModel::from_artifact_bytes(state_out_of_range); },
                                        CoreErrorKind::Validation,
                                        "categorical state feature index 2 is out of bounds for feature_count 2"));
}

TEST(TrainedModel, ReaderSkipsEntriesBeyondTheStumpsAndMisfitBaselines) {
  TrainedModel two = plain_model();
  two.stumps.push_back(numeric_stump(1, 0, 1, 0.0f, 0.0f));
  const core::LinearLeafCoefficientsPayload linear = {{core::LinearLeaf{{1.0f}, {0}, 0.5f}, std::nullopt, 1},
                                                      {core::LinearLeaf{{1.0f}, {0}, 0.5f}, std::nullopt, 2}};
  const core::NativeCategoricalSplitsPayload native{{7}, {{5, {1}}, {0, {2}}, {0, {3}}}};
  const Bytes bytes = artifact_of(2, {{K::Trees, engine::encode_trained_model_payload(two)},
                                      {K::PredictorLayout, engine::encode_predictor_layout_payload(2)},
                                      {K::NativeCategoricalSplits, core::encode_native_categorical_splits_payload(native)},
                                      {K::LinearLeafCoefficients, core::encode_linear_leaf_coefficients_payload(linear)},
                                      {K::FeatureBaseline, core::encode_feature_baseline_payload(std::vector<float>{1.0f})}});
  const TrainedModel back = TrainedModel::from_artifact_bytes(bytes);
  EXPECT_EQ(back.native_categorical_features, std::vector<std::uint32_t>{7});
  EXPECT_EQ(back.stumps[0].category_bitset, Bytes{3});  // the later entry wins
  EXPECT_FALSE(back.stumps[1].category_bitset.has_value());
  EXPECT_TRUE(std::holds_alternative<float>(back.stumps[0].left));
  EXPECT_NE(core::linear_leaf_if(back.stumps[1].left), nullptr);
  EXPECT_TRUE(std::holds_alternative<float>(back.stumps[1].right));
  EXPECT_FALSE(back.feature_baseline.has_value());
}

TEST(TrainedModel, Builders) {
  EXPECT_TRUE(throws_validation([] { plain_model().with_categorical_state(core::CategoricalStatePayloadV1{{2}, 1, false}); },
                                "categorical state feature index 2 is out of bounds for feature_count 2"));

  TrainedModel wide = plain_model();
  wide.stumps.push_back(numeric_stump(1, 2, 0, 0.0f, 0.0f));
  EXPECT_TRUE(throws_contract_violation([&] { std::move(wide).with_node_debug_stats_from_stumps(); },
                                        "node debug stats feature_index 2 exceeds feature_count 2"));
}

}  // namespace
}  // namespace kestrune

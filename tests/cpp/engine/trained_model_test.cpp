#include "engine/trained_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "../core/artifact/payload_test_support.hpp"
#include "artifact_test_support.hpp"
#include "core/artifact/multi_output_payload.hpp"
#include "engine/artifact_sections.hpp"
#include "engine/node_debug_stats.hpp"
#include "engine/tree_payload.hpp"

namespace kestrune {
namespace {


using engine::TrainedModel;
using engine::TrainedStump;
using namespace artifact_testing;
using K = core::ModelSectionKind;

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

TEST(TrainedModel, EveryPartSurvivesARoundTrip) {
  const TrainedModel model = full_trained_model();
  const Bytes bytes = model.to_artifact_bytes();
  EXPECT_EQ(section_kinds(bytes),
            (std::vector<K>{K::Trees, K::PredictorLayout, K::CategoricalState, K::NodeDebugStats, K::NativeCategoricalSplits,
                            K::MorphMetadata, K::DroMetadata, K::NeutralizationMetadata, K::LinearLeafCoefficients,
                            K::FeatureBaseline, K::DartTreeWeights, K::MultiOutputLeafValues}));
  const TrainedModel back = TrainedModel::from_artifact_bytes(bytes);
  ASSERT_EQ(back.stumps.size(), model.stumps.size());
  for (std::size_t i = 0; i < model.stumps.size(); ++i) EXPECT_TRUE(same_stump(back.stumps[i], as_reloaded(model.stumps[i]))) << i;
  // Every other part is checked by writing the decoded model again.
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

  TrainedModel odd = plain_model();
  odd.stumps[0].tree_weight = std::numeric_limits<float>::quiet_NaN();
  odd.stumps[0].categorical = true;  // without a bitset: stays without one and routes by default_left
  const TrainedModel back = TrainedModel::from_artifact_bytes(odd.to_artifact_bytes());
  EXPECT_TRUE(std::isnan(back.stumps[0].tree_weight));
  EXPECT_TRUE(back.stumps[0].categorical && !back.stumps[0].category_bitset.has_value());

  TrainedModel linear = plain_model();
  linear.stumps[0].right = core::LinearLeaf{{1.0f}, {1}, 0.0f};
  linear.feature_baseline = std::vector<float>{0.0f};  // wrong length: not written
  EXPECT_EQ(kinds_of(linear), (std::vector<K>{K::Trees, K::PredictorLayout, K::LinearLeafCoefficients}));

  TrainedModel stats = plain_model();
  stats.node_debug_stats = std::vector<engine::NodeDebugStatsRecord>{};  // an empty list is still written
  EXPECT_EQ(kinds_of(stats), (std::vector<K>{K::Trees, K::PredictorLayout, K::NodeDebugStats}));
}

TEST(TrainedModel, ReaderChecksInOrder) {
  const Bytes trees = engine::encode_trained_model_payload(plain_model());  // says 2 features
  const Bytes layout2 = engine::encode_predictor_layout_payload(2);
  const auto dart = [](std::vector<float> w) { return core::encode_dart_tree_weights_payload(w); };
  const auto multi = [](std::uint32_t k, std::vector<std::vector<float>> lists) {
    return core::encode_multi_output_leaf_values_payload({std::move(lists), k});
  };
  const std::pair<Bytes, std::string> cases[] = {
      {artifact_of(2, {{K::Trees, trees}, {K::PredictorLayout, engine::encode_predictor_layout_payload(3)}}),
       "predictor layout feature_count 3 does not match metadata feature count 2"},
      {artifact_of(5, {{K::Trees, trees}, {K::PredictorLayout, engine::encode_predictor_layout_payload(5)}}),
       "decoded trees feature_count 2 does not match predictor layout feature_count 5"},
      {artifact_of(2, {{K::Trees, trees}, {K::PredictorLayout, layout2}, {K::DartTreeWeights, dart({})}}),
       "DartTreeWeights length 0 != stump count 1"},
      {artifact_of(2, {{K::Trees, trees}, {K::PredictorLayout, layout2}, {K::MultiOutputLeafValues, multi(2, {{1, 2, 3}})}}),
       "MultiOutputLeafValues stump entry has 3 values, expected 2 × n_outputs = 4"},
  };
  for (const auto& [artifact, message] : cases) {
    EXPECT_TRUE(throws_contract_violation([&] { TrainedModel::from_artifact_bytes(artifact); }, message));
  }
}

TEST(StumpPayload, TreesDecoderFailures) {
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {Bytes(15, 0), "model payload too small"},
      {bytes_of(u32(2), u32(0), u32(0), f32(0)), "unsupported model payload format version 2"},
      {bytes_of(u32(1), u32(0), u32(1), f32(0)), "model payload length 16 does not match expected 48"},
      {bytes_of(u32(1), u32(0), u32(0), f32(0), u8(0)), "model payload length 17 does not match expected 16"},
      {bytes_of(u32(1), u32(0), u32(0xFFFFFFFF), f32(0)), "model payload length 16 does not match expected 137438953456"},
  };
  for (const auto& [payload, message] : cases) {
    EXPECT_TRUE(throws_contract_violation([&] { engine::decode_trained_model_payload(payload); }, message));
  }
}

std::vector<core::ModelArtifactSection> sections_of(std::vector<std::pair<K, Bytes>> list) {
  std::vector<core::ModelArtifactSection> sections;
  for (auto& [kind, payload] : list) sections.push_back(section_of(kind, std::move(payload)));
  return sections;
}

TEST(StumpNodeDebugStats, LayoutAndRoundTrip) {
  TrainedStump stump = numeric_stump(5, 2, 300, 0.0f, 0.0f);
  stump.default_left = true;
  const engine::NodeDebugStatsRecord record = engine::NodeDebugStatsRecord::from_stump(stump);
  const Bytes bytes = engine::encode_node_debug_stats_payload(std::vector{record});
  EXPECT_EQ(bytes, bytes_of(u32(1), u32(1), u32(5), u32(2), u16(300), u16(1), f32(1.5f), f32(-2.0f), f32(3.0f), u32(3),
                            f32(2.5f), f32(5.0f), u32(5)));
  const auto decoded = engine::decode_optional_node_debug_stats_section(sections_of({{K::NodeDebugStats, bytes}}));
  ASSERT_TRUE(decoded && decoded->size() == 1);
  EXPECT_EQ(engine::encode_node_debug_stats_payload(*decoded), bytes);
  EXPECT_FALSE(engine::decode_optional_node_debug_stats_section(sections_of({{K::Trees, {1}}})).has_value());
}

}  // namespace
}  // namespace kestrune

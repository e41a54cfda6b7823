#include "engine/tree_payload.hpp"

#include <gtest/gtest.h>

#include "../core/artifact/payload_test_support.hpp"
#include "artifact_test_support.hpp"
#include "engine/artifact_sections.hpp"
#include "engine/node_debug_stats.hpp"

namespace kestrune {
namespace {

using core::ModelSectionKind;
using core::RequiredSectionMode;
using engine::TrainedModel;
using engine::TrainedStump;
using namespace artifact_testing;

TrainedModel two_stump_model() {
  TrainedModel model;
  model.feature_count = 3;
  model.base_prediction = 0.25f;
  model.stumps.push_back(numeric_stump(0, 2, 17, -0.5f, 0.5f));
  TrainedStump second = numeric_stump((1u << 20) | 2, 1, 4, 1.0f, -1.0f);
  second.default_left = true;
  second.categorical = true;
  second.left = core::LinearLeaf{{2.0f}, {0}, 0.75f};
  second.tree_weight = 0.5f;
  model.stumps.push_back(second);
  return model;
}

TEST(StumpPayload, TreesLayout) {
  const Bytes expected = bytes_of(u32(1), u32(3), u32(2), f32(0.25f),                                     //
                                  u32(0), u32(2), u16(17), u16(0), f32(1.5f), f32(-0.5f), f32(0.5f), u32(3), u32(5),  //
                                  u32((1u << 20) | 2), u32(1), u16(4), u16(3), f32(1.5f), f32(0.75f), f32(-1.0f), u32(3),
                                  u32(5));
  EXPECT_EQ(engine::encode_trained_model_payload(two_stump_model()), expected);
}

TEST(StumpPayload, DecodedStumpsKeepWhatTheRecordHolds) {
  const TrainedModel decoded = engine::decode_trained_model_payload(engine::encode_trained_model_payload(two_stump_model()));
  EXPECT_EQ(decoded.base_prediction, 0.25f);
  ASSERT_EQ(decoded.stumps.size(), 2u);
  EXPECT_TRUE(same_stump(decoded.stumps[0], as_reloaded(two_stump_model().stumps[0])));
  // Only the intercept of a linear side is in the record; weights travel elsewhere.
  TrainedStump second = as_reloaded(two_stump_model().stumps[1]);
  second.left = 0.75f;
  second.tree_weight = 1.0f;
  EXPECT_TRUE(same_stump(decoded.stumps[1], second));
}

TEST(StumpPayload, EmptyModelAndFlagBits) {
  TrainedModel empty;
  empty.base_prediction = -1.0f;
  const Bytes header = engine::encode_trained_model_payload(empty);
  EXPECT_EQ(header, bytes_of(u32(1), u32(0), u32(0), f32(-1.0f)));
  EXPECT_TRUE(engine::decode_trained_model_payload(header).stumps.empty());

  for (const auto& [flags, default_left, categorical] :
       std::vector<std::tuple<std::uint16_t, bool, bool>>{{0xFFFC, false, false}, {0xFFFD, true, false},
                                                          {0x8002, false, true}, {0xFFFF, true, true}}) {
    const Bytes payload = bytes_of(u32(1), u32(1), u32(1), f32(0), u32(7), u32(0), u16(1), u16(flags), f32(0), f32(0),
                                   f32(0), u32(0), u32(0));
    const TrainedStump stump = engine::decode_trained_model_payload(payload).stumps.at(0);
    EXPECT_EQ(stump.default_left, default_left) << flags;
    EXPECT_EQ(stump.categorical, categorical) << flags;
    EXPECT_FALSE(stump.category_bitset.has_value());
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
  EXPECT_TRUE(throws_contract_violation([&] { engine::encode_predictor_layout_payload(std::size_t{1} << 32); },
                                        "feature_count exceeds u32::MAX"));
}

TEST(StumpPayload, FieldReadersNameTheirType) {
  const Bytes three = {1, 2, 3};
  EXPECT_EQ(engine::read_u16_le(three, 1), 0x0302);
  EXPECT_TRUE(throws_contract_violation([&] { engine::read_u16_le(three, 2); }, "unexpected end of payload when reading u16"));
  EXPECT_TRUE(throws_contract_violation([&] { engine::read_f32_le(three, std::size_t(-1)); },
                                        "unexpected end of payload when reading f32"));
}

std::vector<core::ModelArtifactSection> sections_of(std::vector<std::pair<ModelSectionKind, Bytes>> list) {
  std::vector<core::ModelArtifactSection> sections;
  for (auto& [kind, payload] : list) sections.push_back(section_of(kind, std::move(payload)));
  return sections;
}

TEST(StumpSections, RequiredSingleSection) {
  const auto sections = sections_of({{ModelSectionKind::Trees, {1}},
                                     {core::section_kind_from_code(42), {2}},
                                     {ModelSectionKind::Trees, {3}},
                                     {core::section_kind_from_code(42), {4}}});
  EXPECT_TRUE(throws_contract_violation([&] { engine::required_single_section(sections, ModelSectionKind::MultiClassTrees); },
                                        "model artifact missing required MultiClassTrees section"));
  EXPECT_TRUE(throws_contract_violation([&] { engine::required_single_section(sections, ModelSectionKind::Trees); },
                                        "model artifact contains duplicate required Trees sections"));
  EXPECT_TRUE(throws_contract_violation(
      [&] { engine::required_single_section(sections, core::section_kind_from_code(42)); },
      "model artifact contains duplicate required Unknown(42) sections"));
  EXPECT_EQ(engine::required_single_section(std::span(sections).first(2), core::section_kind_from_code(42)).payload, Bytes{2});
}

Bytes layout(std::uint32_t version, std::uint32_t features, std::uint32_t mode) {
  return bytes_of(u32(version), u32(features), u32(mode));
}

TEST(StumpSections, PredictorLayoutResolution) {
  EXPECT_EQ(engine::encode_predictor_layout_payload(6), layout(1, 6, 1));
  const auto trees = std::make_pair(ModelSectionKind::Trees, Bytes{1});
  const auto strict = RequiredSectionMode::Strict;
  const auto legacy = RequiredSectionMode::LegacyCompatible;
  EXPECT_EQ(engine::resolve_predictor_layout(sections_of({trees, {ModelSectionKind::PredictorLayout, layout(1, 6, 1)}}), 9, strict), 6u);
  EXPECT_EQ(engine::resolve_predictor_layout(sections_of({trees}), 9, legacy), 9u);

  struct Case {
    std::vector<std::pair<ModelSectionKind, Bytes>> sections;
    RequiredSectionMode mode;
    std::string message;
  };
  const std::string missing = "model artifact missing required PredictorLayout section";
  const std::vector<Case> cases = {
      {{trees}, strict, missing},
      {{trees, {ModelSectionKind::ShapAux, {1}}}, legacy, missing},
      {{trees, {ModelSectionKind::PredictorLayout, layout(1, 6, 1)}, {ModelSectionKind::PredictorLayout, layout(1, 6, 1)}},
       legacy, "model artifact contains duplicate required PredictorLayout sections"},
      {{trees, {ModelSectionKind::PredictorLayout, Bytes(11, 0)}}, strict, "predictor layout payload length 11 does not match expected 12"},
      {{trees, {ModelSectionKind::PredictorLayout, with_tail(layout(9, 6, 9), 1)}}, strict,
       "predictor layout payload length 13 does not match expected 12"},
      {{trees, {ModelSectionKind::PredictorLayout, layout(2, 6, 0)}}, strict, "unsupported predictor layout format version 2"},
      {{trees, {ModelSectionKind::PredictorLayout, layout(1, 6, 0)}}, strict, "unsupported predictor layout threshold mode 0"},
      {{trees, {ModelSectionKind::PredictorLayout, layout(1, 6, 2)}}, legacy, "unsupported predictor layout threshold mode 2"},
  };
  for (const Case& c : cases) {
    const auto sections = sections_of(c.sections);
    EXPECT_TRUE(throws_contract_violation([&] { engine::resolve_predictor_layout(sections, 9, c.mode); }, c.message));
  }
}

TEST(StumpNodeDebugStats, LayoutAndRoundTrip) {
  TrainedStump stump = numeric_stump(5, 2, 300, 0.0f, 0.0f);
  stump.default_left = true;
  const engine::NodeDebugStatsRecord record = engine::NodeDebugStatsRecord::from_stump(stump);
  const Bytes bytes = engine::encode_node_debug_stats_payload(std::vector{record});
  EXPECT_EQ(bytes, bytes_of(u32(1), u32(1), u32(5), u32(2), u16(300), u16(1), f32(1.5f), f32(-2.0f), f32(3.0f), u32(3),
                            f32(2.5f), f32(5.0f), u32(5)));
  const auto decoded = engine::decode_optional_node_debug_stats_section(sections_of({{ModelSectionKind::NodeDebugStats, bytes}}));
  ASSERT_TRUE(decoded && decoded->size() == 1);
  EXPECT_EQ(engine::encode_node_debug_stats_payload(*decoded), bytes);
  EXPECT_FALSE(engine::decode_optional_node_debug_stats_section(sections_of({{ModelSectionKind::Trees, {1}}})).has_value());
}

TEST(StumpNodeDebugStats, DefaultLeftIsBitZeroOfOneByte) {
  for (const auto& [word, expected] : std::vector<std::pair<std::uint16_t, bool>>{{0x0100, false}, {0x0003, true}, {0x0002, false}}) {
    const Bytes bytes = bytes_of(u32(1), u32(1), u32(0), u32(0), u16(0), u16(word), raw(Bytes(28, 0)));
    const auto decoded = engine::decode_optional_node_debug_stats_section(sections_of({{ModelSectionKind::NodeDebugStats, bytes}}));
    EXPECT_EQ(decoded->front().default_left, expected) << word;
  }
}

TEST(StumpNodeDebugStats, DecoderFailures) {
  const std::vector<std::pair<std::vector<std::pair<ModelSectionKind, Bytes>>, std::string>> cases = {
      {{{ModelSectionKind::NodeDebugStats, Bytes(7, 0)}}, "node debug stats payload too small"},
      {{{ModelSectionKind::NodeDebugStats, bytes_of(u32(2), u32(0))}}, "unsupported node debug stats format version 2"},
      {{{ModelSectionKind::NodeDebugStats, bytes_of(u32(1), u32(1))}}, "node debug stats payload length 8 does not match expected 48"},
      {{{ModelSectionKind::NodeDebugStats, bytes_of(u32(1), u32(0xFFFFFFFF))}},
       "node debug stats payload length 8 does not match expected 171798691808"},
      {{{ModelSectionKind::NodeDebugStats, bytes_of(u32(1), u32(0))}, {ModelSectionKind::NodeDebugStats, bytes_of(u32(1), u32(0))}},
       "model artifact contains duplicate required NodeDebugStats sections"},
  };
  for (const auto& [list, message] : cases) {
    const auto sections = sections_of(list);
    EXPECT_TRUE(throws_contract_violation([&] { engine::decode_optional_node_debug_stats_section(sections); }, message));
  }
}

}  // namespace
}  // namespace kestrune

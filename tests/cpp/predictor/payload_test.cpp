#include "predictor/payload.hpp"

#include <gtest/gtest.h>

#include "predictor_test_support.hpp"
#include "support/bytes.hpp"

namespace kestrune {
namespace {

using namespace predictor_testing;
using predictor::PredictorError;

Bytes record(std::uint32_t key, std::uint32_t feature, std::uint16_t bin, std::uint16_t flags, float left,
             float right) {
  support::ByteWriter w;
  w.put_u32(key);
  w.put_u32(feature);
  w.put_u16(bin);
  w.put_u16(flags);
  w.put_f32(123.0f);  // stored gain: plays no part
  w.put_f32(left);
  w.put_f32(right);
  w.put_u32(7);
  w.put_u32(9);
  return w.take();
}

Bytes trees_header(std::uint32_t version, std::uint32_t features, std::uint32_t count, float base) {
  support::ByteWriter w;
  w.put_u32(version);
  w.put_u32(features);
  w.put_u32(count);
  w.put_f32(base);
  return w.take();
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(PredictorPayload, DecodesRecordsAndIgnoresStoredThresholdAndUnknownFlagBits) {
  const Bytes payload = concat(trees_header(1, 4, 2, 0.25f),
                               concat(record((3u << 20) | 5, 2, 17, 0xFFFC | 1, -1.5f, 2.5f),
                                      record(0, 1, 65535, 2, 0.0f, -0.0f)));
  const auto decoded = predictor::decode_trained_model_payload(payload);
  EXPECT_EQ(decoded.feature_count, 4u);
  EXPECT_TRUE(same_bits(decoded.base_score, 0.25f));
  ASSERT_EQ(decoded.stumps.size(), 2u);
  const auto& a = decoded.stumps[0];
  EXPECT_EQ(a.node_key, (3u << 20) | 5);
  EXPECT_EQ(a.split_bin, 17);
  EXPECT_TRUE(a.default_left);
  EXPECT_FALSE(a.categorical);
  EXPECT_EQ(a.right_value, 2.5f);
  EXPECT_FALSE(decoded.stumps[1].default_left);
  EXPECT_TRUE(decoded.stumps[1].categorical);
  EXPECT_TRUE(same_bits(decoded.stumps[1].right_value, -0.0f));
  EXPECT_TRUE(predictor::decode_trained_model_payload(trees_header(1, 0, 0, 1.0f)).stumps.empty());
}

TEST(PredictorPayload, TreesPayloadFailures) {
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {Bytes(15, 0), "model payload too small"},
      {trees_header(2, 1, 0, 0.0f), "unsupported model payload format version 2"},
      {concat(trees_header(1, 1, 0, 0.0f), Bytes{0}), "model payload length 17 does not match expected 16"},
      {trees_header(1, 1, 0xFFFFFFFF, 0.0f), "model payload length 16 does not match expected 137438953456"},
  };
  for (const auto& [payload, message] : cases) {
    EXPECT_TRUE(throws_invalid_model([&] { predictor::decode_trained_model_payload(payload); }, message)) << message;
  }
}

TEST(PredictorPayload, MultiClassPayloadFailuresInOrder) {
  support::ByteWriter two_classes;
  for (std::uint32_t v : {1u, 2u, 3u}) two_classes.put_u32(v);
  Bytes header = two_classes.take();
  const auto with_u32s = [](Bytes bytes, std::initializer_list<std::uint32_t> values) {
    support::ByteWriter w;
    for (auto v : values) w.put_u32(v);
    return concat(std::move(bytes), w.take());
  };
  const std::vector<std::pair<Bytes, std::string>> cases = {
      {Bytes(11, 0), "multiclass trees payload too small"},
      {with_u32s({}, {7, 1, 1}), "unsupported multiclass trees format version 7"},
      {with_u32s(header, {0}), "multiclass trees payload too small for baselines"},
      {with_u32s(header, {0, 0}), "multiclass trees payload too small for stump counts"},
      {with_u32s(header, {0, 0, 1, 0}), "multiclass trees payload length 28 does not match expected 60"},
      {with_u32s({}, {1, 0xFFFFFFFF, 1}), "multiclass trees payload too small for baselines"},
  };
  for (const auto& [payload, message] : cases) {
    EXPECT_TRUE(throws_invalid_model([&] { predictor::decode_multiclass_trees_payload(payload); }, message)) << message;
  }
}

TEST(PredictorPayload, MultiClassRecordsSplitByClassCounts) {
  const Bytes payload = multiclass_payload(3, {0.5f, -1.0f, 2.0f},
                                           {{stump_at(0, 0, 0, 1, 1, 2), stump_at(1, 0, 1, 1, 3, 4)},
                                            {},
                                            {stump_at(0, 0, 2, 1, 5, 6)}});
  EXPECT_EQ(payload.size(), 12u + 24u + 96u);
  const auto decoded = predictor::decode_multiclass_trees_payload(payload);
  EXPECT_EQ(decoded.class_baselines, (std::vector<float>{0.5f, -1.0f, 2.0f}));
  EXPECT_EQ(decoded.class_stumps.at(0).size(), 2u);
  EXPECT_TRUE(decoded.class_stumps.at(1).empty());
  EXPECT_EQ(decoded.class_stumps.at(2).at(0).feature_index, 2u);
  const Bytes short_payload(payload.begin(), payload.end() - 1);
  EXPECT_TRUE(throws_invalid_model([&] { predictor::decode_multiclass_trees_payload(short_payload); },
                                   "multiclass trees payload length 131 does not match expected 132"));
}

TEST(PredictorPayload, FieldReadersReportTheirWidth) {
  const Bytes three = {1, 2, 3};
  EXPECT_EQ(predictor::read_u16_le(three, 1), 0x0302);
  EXPECT_TRUE(throws_invalid_model([&] { predictor::read_u32_le(three, 0); },
                                   "unexpected end of payload when reading u32"));
  EXPECT_TRUE(throws_invalid_model([&] { predictor::read_u16_le(three, 2); },
                                   "unexpected end of payload when reading u16"));
  EXPECT_TRUE(throws_invalid_model([&] { predictor::read_f32_le(three, SIZE_MAX); },
                                   "unexpected end of payload when reading f32"));
}

TEST(PredictorPayload, LayoutRules) {
  using core::ModelSectionKind;
  const auto section = [](ModelSectionKind kind, Bytes payload) {
    return core::ModelArtifactSection{std::move(payload), kind, 0, 0};
  };
  const auto layout = [](std::uint32_t version, std::uint32_t features, std::uint32_t mode) {
    support::ByteWriter w;
    w.put_u32(version);
    w.put_u32(features);
    w.put_u32(mode);
    return w.take();
  };
  const auto trees = section(ModelSectionKind::Trees, {1});
  EXPECT_EQ(predictor::resolve_predictor_layout(std::vector{trees}, 9), 9u);
  EXPECT_EQ(predictor::resolve_predictor_layout(std::vector{trees, section(ModelSectionKind::PredictorLayout,
                                                                           layout(1, 4, 1))},
                                                9),
            4u);
  const std::vector<std::pair<std::vector<core::ModelArtifactSection>, std::string>> cases = {
      {{trees, section(ModelSectionKind::ShapAux, {1})}, "model artifact missing required PredictorLayout section"},
      {{trees, section(ModelSectionKind::PredictorLayout, Bytes(13, 1))},
       "predictor layout payload length 13 does not match expected 12"},
      {{trees, section(ModelSectionKind::PredictorLayout, layout(2, 4, 0))}, "unsupported predictor layout format version 2"},
      {{trees, section(ModelSectionKind::PredictorLayout, layout(1, 4, 2))}, "unsupported predictor layout threshold mode 2"},
      {{section(ModelSectionKind::PredictorLayout, layout(1, 4, 1)), section(ModelSectionKind::PredictorLayout, {1})},
       "model artifact contains duplicate required PredictorLayout sections"},
  };
  for (const auto& [sections, message] : cases) {
    EXPECT_TRUE(throws_invalid_model([&] { predictor::resolve_predictor_layout(sections, 9); }, message)) << message;
  }
}

}  // namespace
}  // namespace kestrune

#include "predictor/payload.hpp"

#include <gtest/gtest.h>

#include "predictor_test_support.hpp"
#include "support/bytes.hpp"

namespace kestrune {
namespace {

using namespace predictor_testing;
using predictor::PredictorError;

Bytes trees_header(std::uint32_t version, std::uint32_t features, std::uint32_t count, float base) {
  support::ByteWriter w;
  for (const std::uint32_t v : {version, features, count}) w.put_u32(v);
  w.put_f32(base);
  return w.take();
}

Bytes u32s(std::initializer_list<std::uint32_t> values) {
  support::ByteWriter w;
  for (const std::uint32_t v : values) w.put_u32(v);
  return w.take();
}

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(PredictorPayload, DecoderFailures) {
  const Bytes two_classes = u32s({1, 2, 3});
  const std::vector<std::tuple<bool, Bytes, std::string>> cases = {  // multiclass?, payload, message
      {false, Bytes(15, 0), "model payload too small"},
      {false, trees_header(2, 1, 0, 0.0f), "unsupported model payload format version 2"},
      {false, concat(trees_header(1, 1, 0, 0.0f), Bytes{0}), "model payload length 17 does not match expected 16"},
      {false, trees_header(1, 1, 0xFFFFFFFF, 0.0f), "model payload length 16 does not match expected 137438953456"},
      {true, Bytes(11, 0), "multiclass trees payload too small"},
      {true, u32s({7, 1, 1}), "unsupported multiclass trees format version 7"},
      {true, concat(two_classes, u32s({0})), "multiclass trees payload too small for baselines"},
      {true, concat(two_classes, u32s({0, 0})), "multiclass trees payload too small for stump counts"},
      {true, concat(two_classes, u32s({0, 0, 1, 0})), "multiclass trees payload length 28 does not match expected 60"},
      {true, u32s({1, 0xFFFFFFFF, 1}), "multiclass trees payload too small for baselines"},
  };
  for (const auto& [multiclass, payload, message] : cases) {
    EXPECT_TRUE(throws_invalid_model(
        [&] {
          if (multiclass) {
            predictor::decode_multiclass_trees_payload(payload);
          } else {
            predictor::decode_trained_model_payload(payload);
          }
        },
        message));
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

TEST(PredictorPayload, LayoutRules) {
  using core::ModelSectionKind;
  const auto section = [](ModelSectionKind kind, Bytes payload) {
    return core::ModelArtifactSection{std::move(payload), kind, 0, 0};
  };
  const auto layout = [](std::uint32_t version, std::uint32_t features, std::uint32_t mode) {
    return u32s({version, features, mode});
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

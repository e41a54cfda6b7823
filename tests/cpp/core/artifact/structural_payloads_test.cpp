#include <gtest/gtest.h>

#include "core/artifact/categorical_state.hpp"
#include "core/artifact/linear_leaf_payload.hpp"
#include "core/artifact/multi_output_payload.hpp"
#include "core/artifact/native_categorical_payload.hpp"
#include "payload_test_support.hpp"

namespace kestrune {
namespace {

using core::CoreErrorKind;
using core::ModelSectionKind;
using namespace artifact_testing;

Bytes categorical(std::uint32_t version, std::uint32_t flags, std::uint32_t count, const std::vector<std::uint32_t>& indices) {
  support::ByteWriter writer;
  for (const std::uint32_t v : {version, flags, count, 0xDEADBEEFu}) writer.put_u32(v);  // reserved word ignored
  for (const std::uint32_t index : indices) writer.put_u32(index);
  return writer.take();
}

TEST(SectionCategoricalState, RoundTripAndLayout) {
  const core::CategoricalStatePayloadV1 state{{2, 7}, 1, true};
  const Bytes bytes = core::encode_categorical_state_payload_v1(state);
  EXPECT_EQ(bytes, bytes_of(u32(1), u32(1), u32(2), u32(0), u32(2), u32(7)));
  EXPECT_EQ(core::decode_categorical_state_payload_v1(bytes), state);
  EXPECT_FALSE(core::decode_categorical_state_payload_v1(categorical(1, 0, 1, {4})).time_aware);
}

TEST(SectionCategoricalState, ValidationRules) {
  const auto validate = [](std::vector<std::uint32_t> indices, std::uint32_t version,
                           std::optional<std::size_t> features) {
    return [=] { core::validate_categorical_state_payload_v1({indices, version, false}, features); };
  };
  EXPECT_NO_THROW(validate({0, 6}, 1, 7)());
  EXPECT_TRUE(throws_validation(validate({}, 2, 7), "unsupported categorical state format_version 2, expected 1"));
  EXPECT_TRUE(throws_validation(validate({}, 1, 7), "categorical state must include at least one categorical feature index"));
  EXPECT_TRUE(throws_validation(validate({1, 5, 5, 2}, 1, std::nullopt),
                                "categorical state feature indices must be strictly increasing (found 5 after 5)"));
  EXPECT_TRUE(throws_validation(validate({2, 7, 9}, 1, 7),
                                "categorical state feature index 7 is out of bounds for feature_count 7"));
  EXPECT_NO_THROW(validate({2, 7, 9}, 1, std::nullopt)());  // no feature count: indices unchecked
  EXPECT_TRUE(throws_validation([] { core::encode_categorical_state_payload_v1({{3, 1}, 1, false}); },
                                "categorical state feature indices must be strictly increasing (found 1 after 3)"));
}

TEST(SectionCategoricalState, DecoderFailuresInOrder) {
  expect_decode_failures(core::decode_categorical_state_payload_v1, CoreErrorKind::Serialization,
                         {{"15 bytes", Bytes(15, 0), "categorical state payload length 15 is smaller than header length 16"},
                          {"unknown flags", categorical(9, 3, 9, {}), "categorical state payload contains unknown flags: 2"},
                          {"length", categorical(1, 1, 2, {5}), "categorical state payload length 20 does not match expected 24"},
                          {"huge count", categorical(1, 0, 0xFFFFFFFF, {1}),
                           "categorical state payload length 20 does not match expected 17179869196"}});
  // Content rules are checked only after the structure, with kind Validation.
  expect_decode_failures(core::decode_categorical_state_payload_v1, CoreErrorKind::Validation,
                         {{"version", categorical(2, 0, 1, {1}), "unsupported categorical state format_version 2, expected 1"},
                          {"repeat", categorical(1, 0, 2, {5, 5}),
                           "categorical state feature indices must be strictly increasing (found 5 after 5)"}});
}

TEST(SectionCategoricalState, FinderChecksTheFeatureCount) {
  const std::vector<core::ModelArtifactSection> sections = {
      {categorical(1, 0, 2, {2, 7}), ModelSectionKind::CategoricalState, 0, 0}};
  EXPECT_TRUE(throws_validation([&] { core::decode_optional_categorical_state_section_v1(sections, 7); },
                                "categorical state feature index 7 is out of bounds for feature_count 7"));
  EXPECT_FALSE(core::decode_optional_categorical_state_section_v1({}, 0).has_value());
}

core::LinearLeaf leaf(std::vector<float> coefficients, std::vector<std::uint32_t> indices, float intercept) {
  return {std::move(coefficients), std::move(indices), intercept};
}

TEST(SectionLinearLeaves, RoundTripAndLayout) {
  const core::LinearLeafCoefficientsPayload entries = {
      {leaf({0.5f, -2.0f}, {3, 1}, 1.0f), std::nullopt, 4},
      {std::nullopt, std::nullopt, 9},
      {leaf({}, {}, -1.0f), leaf({0.25f}, {0}, 0.0f), 11},
  };
  const Bytes bytes = core::encode_linear_leaf_coefficients_payload(entries);
  EXPECT_EQ(bytes, bytes_of(u32(1), u32(3),                                                      //
                            u32(4), u8(1), u8(2), f32(1.0f), f32(0.5f), f32(-2.0f), u32(3), u32(1),  //
                            u32(9), u8(0),                                                       //
                            u32(11), u8(3), u8(0), f32(-1.0f), u8(1), f32(0.0f), f32(0.25f), u32(0)));
  EXPECT_EQ(core::decode_linear_leaf_coefficients_payload(bytes), entries);
  EXPECT_EQ(core::decode_linear_leaf_coefficients_payload(with_tail(bytes, 5)), entries);
}

TEST(SectionLinearLeaves, ReaderAcceptsUnknownFlagBitsAndWideLeaves) {
  const auto decoded = core::decode_linear_leaf_coefficients_payload(bytes_of(u32(1), u32(1), u32(2), u8(4)));
  EXPECT_FALSE(decoded.at(0).left || decoded.at(0).right);

  support::ByteWriter wide;
  wide.put_bytes(bytes_of(u32(1), u32(1), u32(0), u8(2), u8(255), f32(0.0f)));
  for (int i = 0; i < 255; ++i) wide.put_f32(1.0f);
  for (std::uint32_t i = 0; i < 255; ++i) wide.put_u32(i);
  const auto read = core::decode_linear_leaf_coefficients_payload(wide.take());
  EXPECT_EQ(read[0].right->coefficients.size(), 255u);
  EXPECT_EQ(read[0].right->feature_indices[254], 254u);
}

TEST(SectionLinearLeaves, WriterRefusesLeavesItCannotStoreFaithfully) {
  const auto encode = [](core::LinearLeafEntry entry) {
    return [entry] { core::encode_linear_leaf_coefficients_payload(std::vector<core::LinearLeafEntry>{entry}); };
  };
  EXPECT_TRUE(throws_validation(encode({leaf(std::vector<float>(10, 1.0f), {1, 2, 3}, 0.0f), std::nullopt, 5}),
                                "left linear leaf of stump 5 has 10 coefficients but 3 feature indices"));
  EXPECT_TRUE(throws_validation(encode({std::nullopt, leaf({1.0f}, {}, 0.0f), 6}),
                                "right linear leaf of stump 6 has 1 coefficients but 0 feature indices"));
  EXPECT_TRUE(throws_validation(encode({std::nullopt, leaf(std::vector<float>(9, 1.0f), std::vector<std::uint32_t>(9, 0), 0.0f), 7}),
                                "right linear leaf of stump 7 has 9 terms, more than the 8 a model stores"));
  EXPECT_NO_THROW(encode({leaf(std::vector<float>(8, 1.0f), std::vector<std::uint32_t>(8, 0), 0.0f), std::nullopt, 0})());
}

TEST(SectionLinearLeaves, DecoderFailures) {
  const std::string data_end = "unexpected end of linear leaf coefficients data";
  expect_decode_failures(core::decode_linear_leaf_coefficients_payload, CoreErrorKind::Validation,
                         {{"7 bytes", bytes_of(u32(1), u16(0), u8(0)), "linear leaf coefficients section too short"},
                          {"version", bytes_of(u32(2), u32(0)), "unsupported linear leaf coefficients version: 2"},
                          {"ends after stump index", bytes_of(u32(1), u32(1), u32(0)), data_end},
                          {"ends after flags", bytes_of(u32(1), u32(1), u32(0), u8(1)), "unexpected end reading linear leaf"},
                          {"ends in intercept", bytes_of(u32(1), u32(1), u32(0), u8(2), u8(0), u16(0)), data_end},
                          {"ends in indices", bytes_of(u32(1), u32(1), u32(0), u8(1), u8(1), f32(0), f32(1), u16(0)), data_end},
                          {"right leaf missing", bytes_of(u32(1), u32(1), u32(0), u8(3), u8(0), f32(0)),
                           "unexpected end reading linear leaf"},
                          {"huge entry count", bytes_of(u32(1), u32(0xFFFFFFFF), u32(0), u8(0)), data_end}});
}

TEST(SectionMultiOutput, RoundTripAndLayout) {
  const core::MultiOutputLeafValuesPayload payload{{{1.0f, 2.0f, 3.0f, 4.0f}, {}, {0.5f, 0.5f, 0.5f, 0.5f}}, 2};
  const Bytes bytes = core::encode_multi_output_leaf_values_payload(payload);
  EXPECT_EQ(bytes, bytes_of(u32(1), u32(2), u32(3), u32(4), f32(1), f32(2), f32(3), f32(4), u32(0), u32(4), f32(0.5f),
                            f32(0.5f), f32(0.5f), f32(0.5f)));
  EXPECT_EQ(core::decode_multi_output_leaf_values_payload(bytes), payload);
  EXPECT_EQ(core::decode_multi_output_leaf_values_payload(with_tail(bytes, 2)), payload);
}

TEST(SectionMultiOutput, DecoderFailures) {
  expect_decode_failures(core::decode_multi_output_leaf_values_payload, CoreErrorKind::Validation,
                         {{"11 bytes", Bytes(11, 1), "MultiOutputLeafValues section too short for header"},
                          {"version", bytes_of(u32(3), u32(1), u32(0)), "unsupported MultiOutputLeafValues version: 3"},
                          {"no length", bytes_of(u32(1), u32(1), u32(2), u32(0), u16(0)),
                           "MultiOutputLeafValues: truncated stump length"},
                          {"short values", bytes_of(u32(1), u32(1), u32(1), u32(2), f32(1)),
                           "MultiOutputLeafValues: truncated leaf values"},
                          {"huge length", bytes_of(u32(1), u32(1), u32(1), u32(0xFFFFFFFF)),
                           "MultiOutputLeafValues: truncated leaf values"},
                          {"huge stump count", bytes_of(u32(1), u32(1), u32(0xFFFFFFFF), u32(0)),
                           "MultiOutputLeafValues: truncated stump length"}});
}

TEST(SectionNativeCategorical, RoundTripAndLayout) {
  const core::NativeCategoricalSplitsPayload payload{{3, 8}, {{0, {0x05}}, {7, {}}, {2, {0xFF, 0x01}}}};
  const Bytes bytes = core::encode_native_categorical_splits_payload(payload);
  EXPECT_EQ(bytes, bytes_of(u32(2), u32(3), u32(3), u32(8), u32(0), u16(1), u8(0x05), u32(7), u16(0), u32(2), u16(2),
                            u8(0xFF), u8(0x01)));
  EXPECT_EQ(core::decode_native_categorical_splits_payload(bytes), payload);
  EXPECT_EQ(core::decode_native_categorical_splits_payload(with_tail(bytes, 9)), payload);
}

TEST(SectionNativeCategorical, EncoderAndDecoderFailures) {
  const core::NativeCategoricalSplitsPayload too_wide{{}, {{0, Bytes(65536, 0)}}};
  EXPECT_TRUE(throws_core_error([&] { core::encode_native_categorical_splits_payload(too_wide); },
                                CoreErrorKind::Serialization, "bitset length exceeds u16::MAX"));
  EXPECT_NO_THROW(core::encode_native_categorical_splits_payload({{}, {{0, Bytes(65535, 0)}}}));
  expect_decode_failures(core::decode_native_categorical_splits_payload, CoreErrorKind::Serialization,
                         {{"7 bytes", Bytes(7, 0), "native categorical splits payload too small for header"},
                          {"features", bytes_of(u32(2), u32(0), u32(1)),
                           "native categorical splits payload too small for feature indices"},
                          {"huge feature count", bytes_of(u32(0xFFFFFFFF), u32(0)),
                           "native categorical splits payload too small for feature indices"},
                          {"entry header", bytes_of(u32(0), u32(1), u32(4), u8(0)),
                           "native categorical splits payload truncated in stump bitset header"},
                          {"bitset", bytes_of(u32(0), u32(1), u32(4), u16(3), u8(1), u8(2)),
                           "native categorical splits payload truncated in bitset data"},
                          {"huge entry count", bytes_of(u32(0), u32(0xFFFFFFFF), u32(4), u16(0)),
                           "native categorical splits payload truncated in stump bitset header"}});
}

}  // namespace
}  // namespace kestrune

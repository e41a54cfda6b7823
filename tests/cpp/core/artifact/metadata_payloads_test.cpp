#include "core/artifact/metadata_payloads.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/artifact/morph_metadata.hpp"
#include "payload_test_support.hpp"

namespace kestrune {
namespace {

using core::CoreErrorKind;
using core::ModelSectionKind;
using namespace artifact_testing;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

Bytes dro(std::uint16_t version, float radius, std::uint8_t metric) { return bytes_of(u16(version), f32(radius), u8(metric)); }

TEST(SectionDroMetadata, RoundTripAndLayout) {
  const Bytes bytes = core::encode_dro_metadata_payload({0.5f, core::DroMetric::Wasserstein});
  EXPECT_EQ(bytes, (Bytes{1, 0, 0, 0, 0, 0x3F, 0}));
  const float negative_zero = core::decode_dro_metadata_payload(dro(1, -0.0f, 0)).radius;
  EXPECT_TRUE(negative_zero == 0.0f && std::signbit(negative_zero));
  EXPECT_EQ(core::decode_dro_metadata_payload(with_tail(dro(1, 2.0f, 0), 1)).radius, 2.0f);
}

TEST(SectionDroMetadata, DecoderFailures) {
  expect_decode_failures(core::decode_dro_metadata_payload, CoreErrorKind::Validation,
                         {{"6 bytes", Bytes(6, 0), "dro metadata section too short"},
                          {"version", dro(2, kNaN, 9), "unsupported dro metadata version: 2"},
                          {"NaN radius", dro(1, kNaN, 0), "dro metadata radius must be finite and >= 0"},
                          {"negative radius", dro(1, -1e-30f, 0), "dro metadata radius must be finite and >= 0"},
                          {"metric", dro(1, 1.0f, 1), "unsupported dro metadata metric kind: 1"}});
}

Bytes neutralization(std::uint16_t version, std::uint8_t kind, float ridge, float penalty) {
  return bytes_of(u16(version), u8(kind), f32(ridge), f32(penalty));
}

TEST(SectionNeutralizationMetadata, RoundTripAndLayout) {
  const core::NeutralizationMetadata metadata{0.25f, 1.0f, core::NeutralizationKind::SplitPenalty};
  const Bytes bytes = core::encode_neutralization_metadata_payload(metadata);
  EXPECT_EQ(bytes, (Bytes{1, 0, 3, 0, 0, 0x80, 0x3E, 0, 0, 0x80, 0x3F}));
  const auto decoded = core::decode_neutralization_metadata_payload(bytes);
  EXPECT_EQ(decoded.kind, core::NeutralizationKind::SplitPenalty);
  EXPECT_EQ(decoded.split_penalty, 1.0f);
  EXPECT_EQ(core::decode_neutralization_metadata_payload(neutralization(1, 0, 0.0f, 0.0f)).kind,
            core::NeutralizationKind::None);
}

TEST(SectionMetadataPayloads, EncodersRefuseWhatDecodersReject) {
  const auto dro_with = [](float radius) { return [radius] { core::encode_dro_metadata_payload({radius}); }; };
  EXPECT_TRUE(throws_validation(dro_with(kNaN), "dro metadata radius must be finite and >= 0"));
  EXPECT_NO_THROW(dro_with(-0.0f)());
  const auto neutral = [](float ridge, float penalty) {
    return [=] { core::encode_neutralization_metadata_payload({ridge, penalty, core::NeutralizationKind::None}); };
  };
  EXPECT_TRUE(throws_validation(neutral(kInf, 0.0f), "neutralization metadata ridge_lambda must be finite and >= 0"));
  EXPECT_TRUE(throws_validation(neutral(0.0f, kNaN), "neutralization metadata split_penalty must be finite and >= 0"));
}

TEST(SectionNeutralizationMetadata, DecoderFailures) {
  const std::string ridge = "neutralization metadata ridge_lambda must be finite and >= 0";
  const std::string penalty = "neutralization metadata split_penalty must be finite and >= 0";
  expect_decode_failures(core::decode_neutralization_metadata_payload, CoreErrorKind::Validation,
                         {{"10 bytes", Bytes(10, 0), "neutralization metadata section too short"},
                          {"version", neutralization(0, 9, kNaN, kNaN), "unsupported neutralization metadata version: 0"},
                          {"kind before floats", neutralization(1, 4, kNaN, kNaN),
                           "unsupported neutralization metadata kind: 4"},
                          {"ridge before penalty", neutralization(1, 1, -2.0f, kNaN), ridge},
                          {"penalty infinite", neutralization(1, 2, 0.0f, -kInf), penalty}});
}

core::MorphMetadata sample_morph(core::LrScheduleKind schedule, float warmup) {
  core::MorphMetadata metadata;
  metadata.config.lr_schedule = {schedule, warmup};
  metadata.config.morph_rate = 0.5f;
  metadata.config.evolution_pressure = 2.0f;
  metadata.config.morph_warmup_iters = 7;
  metadata.config.info_score_weight = 0.25f;
  metadata.config.depth_penalty_base = 1.0f;
  metadata.config.balance_penalty = false;
  metadata.ema_stats = {{0.5f, 1.0f, 0.25f}, {-1.0f, 2.0f, 0.5f}};
  metadata.rounds_completed = 9;
  metadata.scheduled_iterations = 30;
  return metadata;
}

// Stored artifacts are read and written again: every field read back must write the same bytes,
// for both schedules, and the neutralization record keeps all three of its fields.
TEST(SectionMetadataPayloads, ReadBackRecordsWriteTheSameBytes) {
  for (const auto schedule : {core::LrScheduleKind::WarmupCosine, core::LrScheduleKind::Constant}) {
    const Bytes bytes = core::encode_morph_metadata_payload(sample_morph(schedule, 0.25f));
    EXPECT_EQ(core::encode_morph_metadata_payload(core::decode_optional_morph_metadata_section(bytes)), bytes);
  }
  const Bytes neutral =
      core::encode_neutralization_metadata_payload({0.25f, 1.0f, core::NeutralizationKind::SplitPenalty});
  const core::NeutralizationMetadata read = core::decode_neutralization_metadata_payload(neutral);
  EXPECT_EQ(read.ridge_lambda, 0.25f);
  EXPECT_EQ(read.split_penalty, 1.0f);
  EXPECT_EQ(read.kind, core::NeutralizationKind::SplitPenalty);
  EXPECT_EQ(core::encode_neutralization_metadata_payload(read), neutral);
  const Bytes dro = core::encode_dro_metadata_payload({0.5f, core::DroMetric::Wasserstein});
  EXPECT_EQ(core::encode_dro_metadata_payload(core::decode_dro_metadata_payload(dro)), dro);
}

Bytes morph_header(std::uint16_t version, std::uint8_t schedule) {
  return bytes_of(u16(version), f32(0.5f), f32(2.0f), u32(7), f32(0.25f), f32(1.0f), u8(3), u8(schedule), f32(0.25f),
                  u32(9), u32(30));
}

TEST(SectionMorphMetadata, WritesVersionTwoLayout) {
  const Bytes expected = bytes_of(u16(2), f32(0.5f), f32(2.0f), u32(7), f32(0.25f), f32(1.0f), u8(0), u8(1),
                                  f32(0.25f), u32(9), u32(30), u32(2), f32(0.5f), f32(1.0f), f32(0.25f), f32(-1.0f),
                                  f32(2.0f), f32(0.5f));
  const Bytes bytes = core::encode_morph_metadata_payload(sample_morph(core::LrScheduleKind::WarmupCosine, 0.25f));
  EXPECT_EQ(bytes, expected);

  const core::MorphMetadata decoded = core::decode_optional_morph_metadata_section(bytes);
  EXPECT_EQ(decoded.ema_stats, sample_morph(core::LrScheduleKind::WarmupCosine, 0.25f).ema_stats);
  EXPECT_EQ(decoded.config.lr_schedule.warmup_frac, 0.25f);
  EXPECT_FALSE(decoded.config.balance_penalty);
  EXPECT_EQ(decoded.scheduled_iterations, 30u);

  // The constant schedule has no warm-up: 0 is written whatever the record holds.
  const Bytes constant = core::encode_morph_metadata_payload(sample_morph(core::LrScheduleKind::Constant, 0.75f));
  EXPECT_EQ(Bytes(constant.begin() + 23, constant.begin() + 28), (Bytes{0, 0, 0, 0, 0}));
}

TEST(SectionMorphMetadata, ReadsBothVersionsAndShortTails) {
  struct Case {
    const char* name;
    Bytes payload;
    std::size_t stats;
  };
  const std::vector<Case> cases = {
      {"v1 header only", morph_header(1, 0), 0},
      {"v2 header only", morph_header(2, 0), 0},
      {"v2 without a whole count", with_tail(morph_header(2, 1), 3), 0},
      {"v1 ignores a tail", bytes_of(raw(morph_header(1, 1)), u32(2), raw(Bytes(24, 0))), 0},
      {"v2 with zero records", bytes_of(raw(morph_header(2, 1)), u32(0)), 0},
      {"v2 with extra bytes", bytes_of(raw(morph_header(2, 1)), u32(1), raw(Bytes(13, 0))), 1},
  };
  for (const Case& c : cases) {
    const core::MorphMetadata decoded = core::decode_optional_morph_metadata_section(c.payload);
    EXPECT_EQ(decoded.ema_stats.size(), c.stats) << c.name;
    EXPECT_TRUE(decoded.config.balance_penalty) << c.name;  // any non-zero byte
  }
  const core::MorphMetadata constant = core::decode_optional_morph_metadata_section(morph_header(2, 0));
  EXPECT_EQ(constant.config.lr_schedule.kind, core::LrScheduleKind::Constant);
  EXPECT_EQ(constant.config.lr_schedule.warmup_frac, 0.0f);  // stored 0.25 is ignored
}

TEST(SectionMorphMetadata, DecoderFailures) {
  expect_decode_failures(
      core::decode_optional_morph_metadata_section, CoreErrorKind::Validation,
      {{"35 bytes", Bytes(35, 0), "morph metadata section too short"},
       {"version 3", morph_header(3, 9), "unsupported morph metadata version: 3"},
       {"schedule", morph_header(2, 2), "unknown lr_schedule kind: 2"},
       {"tail", bytes_of(raw(morph_header(2, 0)), u32(2), raw(Bytes(20, 0))),
        "morph metadata ema tail truncated: expected 24 bytes after header, got 20"},
       {"huge count", bytes_of(raw(morph_header(2, 0)), u32(0xFFFFFFFF)),
        "morph metadata ema tail truncated: expected 51539607540 bytes after header, got 0"}});
}

TEST(SectionValueLists, BaselineAndDartShareOneLayout) {
  const std::vector<float> values = {1.5f, -0.0f, kInf};
  const Bytes baseline = core::encode_feature_baseline_payload(values);
  EXPECT_EQ(baseline, bytes_of(u32(1), u32(3), f32(1.5f), f32(-0.0f), f32(kInf)));
  EXPECT_EQ(core::encode_dart_tree_weights_payload(values), baseline);
  EXPECT_EQ(core::decode_feature_baseline_payload(baseline), values);
  EXPECT_EQ(core::decode_dart_tree_weights_payload(baseline), values);
  EXPECT_EQ(core::decode_feature_baseline_payload(with_tail(baseline, 3)), values);  // baseline tolerates extra bytes
}

TEST(SectionValueLists, DecoderFailures) {
  expect_decode_failures(core::decode_feature_baseline_payload, CoreErrorKind::Validation,
                         {{"7 bytes", Bytes(7, 0), "feature baseline section too short"},
                          {"version", bytes_of(u32(2), u32(0)), "unsupported feature baseline version: 2"},
                          {"count 3 in 16 bytes", bytes_of(u32(1), u32(3), f32(1), f32(2)),
                           "feature baseline section too short: need 20 bytes, got 16"},
                          {"huge count", bytes_of(u32(1), u32(0xFFFFFFFF)),
                           "feature baseline section too short: need 17179869188 bytes, got 8"}});
  expect_decode_failures(core::decode_dart_tree_weights_payload, CoreErrorKind::Validation,
                         {{"7 bytes", Bytes(7, 0), "DartTreeWeights section too short for header"},
                          {"version", bytes_of(u32(0), u32(0)), "unsupported DartTreeWeights version: 0"},
                          {"four bytes too many", bytes_of(u32(1), u32(2), f32(1), f32(1), f32(1)),
                           "DartTreeWeights payload length 20 != expected 16 (2 weights)"},
                          {"short", bytes_of(u32(1), u32(2), f32(1)),
                           "DartTreeWeights payload length 12 != expected 16 (2 weights)"}});
}

core::ModelArtifactSection section_of(ModelSectionKind kind, Bytes payload) { return {std::move(payload), kind, 0, 0}; }

TEST(SectionFinders, AbsentOrDecoded) {
  const std::vector<core::ModelArtifactSection> sections = {
      section_of(ModelSectionKind::Trees, {1}),
      section_of(ModelSectionKind::DartTreeWeights, bytes_of(u32(1), u32(1), f32(0.5f))),
      section_of(ModelSectionKind::FeatureBaseline, bytes_of(u32(7), u32(0))),
      section_of(ModelSectionKind::DroMetadata, dro(1, 0.5f, 0)),
  };
  EXPECT_FALSE(core::decode_optional_neutralization_metadata_artifact_section(sections).has_value());
  EXPECT_FALSE(core::decode_optional_morph_metadata_artifact_section(sections).has_value());
  EXPECT_EQ(core::decode_optional_dro_metadata_artifact_section(sections)->radius, 0.5f);
  EXPECT_EQ(core::decode_optional_dart_tree_weights_section(sections), std::optional<std::vector<float>>(std::vector<float>{0.5f}));
  EXPECT_TRUE(throws_validation([&] { core::decode_optional_feature_baseline_section(sections); },
                                "unsupported feature baseline version: 7"));
}

}  // namespace
}  // namespace kestrune

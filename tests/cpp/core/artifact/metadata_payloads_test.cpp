#include "core/artifact/metadata_payloads.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/artifact/morph_metadata.hpp"
#include "payload_test_support.hpp"

namespace kestrune {
namespace {

using core::ModelSectionKind;
using namespace artifact_testing;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

Bytes dro(std::uint16_t version, float radius, std::uint8_t metric) { return bytes_of(u16(version), f32(radius), u8(metric)); }
Bytes neutralization(std::uint16_t version, std::uint8_t kind, float ridge, float penalty) {
  return bytes_of(u16(version), u8(kind), f32(ridge), f32(penalty));
}
Bytes morph_header(std::uint16_t version, std::uint8_t schedule) {
  return bytes_of(u16(version), f32(0.5f), f32(2.0f), u32(7), f32(0.25f), f32(1.0f), u8(3), u8(schedule), f32(0.25f),
                  u32(9), u32(30));
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

// Stored artifacts pin these layouts byte for byte; each must read back to what was written.
TEST(SectionMetadataPayloads, LayoutsAndRoundTrips) {
  const Bytes dro_bytes = core::encode_dro_metadata_payload({0.5f, core::DroMetric::Wasserstein});
  EXPECT_EQ(dro_bytes, dro(1, 0.5f, 0));
  EXPECT_EQ(core::decode_dro_metadata_payload(with_tail(dro_bytes, 1)).radius, 0.5f);
  EXPECT_TRUE(std::signbit(core::decode_dro_metadata_payload(dro(1, -0.0f, 0)).radius));

  const Bytes neutral = core::encode_neutralization_metadata_payload({0.25f, 1.0f, core::NeutralizationKind::SplitPenalty});
  EXPECT_EQ(neutral, neutralization(1, 3, 0.25f, 1.0f));
  const core::NeutralizationMetadata read = core::decode_neutralization_metadata_payload(neutral);
  EXPECT_EQ(read.kind, core::NeutralizationKind::SplitPenalty);
  EXPECT_EQ(read.ridge_lambda, 0.25f);
  EXPECT_EQ(read.split_penalty, 1.0f);

  const core::MorphMetadata morph = sample_morph(core::LrScheduleKind::WarmupCosine, 0.25f);
  const Bytes morph_bytes = core::encode_morph_metadata_payload(morph);
  EXPECT_EQ(morph_bytes, bytes_of(u16(2), f32(0.5f), f32(2.0f), u32(7), f32(0.25f), f32(1.0f), u8(0), u8(1), f32(0.25f),
                                  u32(9), u32(30), u32(2), f32(0.5f), f32(1.0f), f32(0.25f), f32(-1.0f), f32(2.0f),
                                  f32(0.5f)));
  EXPECT_EQ(core::encode_morph_metadata_payload(core::decode_optional_morph_metadata_section(morph_bytes)), morph_bytes);
  // The constant schedule has no warm-up: 0 is written whatever the record holds.
  const Bytes constant = core::encode_morph_metadata_payload(sample_morph(core::LrScheduleKind::Constant, 0.75f));
  EXPECT_EQ(Bytes(constant.begin() + 23, constant.begin() + 28), Bytes(5, 0));

  const std::vector<float> values = {1.5f, -0.0f, kInf};
  const Bytes list = core::encode_feature_baseline_payload(values);
  EXPECT_EQ(list, bytes_of(u32(1), u32(3), f32(1.5f), f32(-0.0f), f32(kInf)));
  EXPECT_EQ(core::encode_dart_tree_weights_payload(values), list);
  EXPECT_EQ(core::decode_dart_tree_weights_payload(list), values);
  EXPECT_EQ(core::decode_feature_baseline_payload(with_tail(list, 3)), values);  // the baseline tolerates a tail
}

TEST(SectionMetadataPayloads, MorphReadsBothVersionsAndShortTails) {
  const std::vector<std::pair<Bytes, std::size_t>> cases = {  // payload, EMA records read
      {morph_header(1, 0), 0},
      {with_tail(morph_header(2, 1), 3), 0},  // no whole count
      {bytes_of(raw(morph_header(1, 1)), u32(2), raw(Bytes(24, 0))), 0},  // version 1 has no tail
      {bytes_of(raw(morph_header(2, 1)), u32(1), raw(Bytes(13, 0))), 1},
  };
  for (const auto& [payload, stats] : cases) {
    const core::MorphMetadata decoded = core::decode_optional_morph_metadata_section(payload);
    EXPECT_EQ(decoded.ema_stats.size(), stats);
    EXPECT_TRUE(decoded.config.balance_penalty);  // any non-zero byte
  }
  const core::MorphMetadata constant = core::decode_optional_morph_metadata_section(morph_header(2, 0));
  EXPECT_EQ(constant.config.lr_schedule.kind, core::LrScheduleKind::Constant);
  EXPECT_EQ(constant.config.lr_schedule.warmup_frac, 0.0f);  // the stored 0.25 is ignored
}

TEST(SectionMetadataPayloads, DecoderFailures) {
  using Decode = std::function<void(const Bytes&)>;
  const Decode dro_read = [](const Bytes& b) { core::decode_dro_metadata_payload(b); };
  const Decode neutral = [](const Bytes& b) { core::decode_neutralization_metadata_payload(b); };
  const Decode morph = [](const Bytes& b) { core::decode_optional_morph_metadata_section(b); };
  const Decode baseline = [](const Bytes& b) { core::decode_feature_baseline_payload(b); };
  const Decode dart = [](const Bytes& b) { core::decode_dart_tree_weights_payload(b); };
  const std::string ridge = "neutralization metadata ridge_lambda must be finite and >= 0";
  const std::vector<std::tuple<Decode, Bytes, std::string>> cases = {
      {dro_read, Bytes(6, 0), "dro metadata section too short"},
      {dro_read, dro(2, kNaN, 9), "unsupported dro metadata version: 2"},
      {dro_read, dro(1, kNaN, 0), "dro metadata radius must be finite and >= 0"},
      {dro_read, dro(1, -1e-30f, 0), "dro metadata radius must be finite and >= 0"},
      {dro_read, dro(1, 1.0f, 1), "unsupported dro metadata metric kind: 1"},
      {neutral, Bytes(10, 0), "neutralization metadata section too short"},
      {neutral, neutralization(0, 9, kNaN, kNaN), "unsupported neutralization metadata version: 0"},
      {neutral, neutralization(1, 4, kNaN, kNaN), "unsupported neutralization metadata kind: 4"},
      {neutral, neutralization(1, 1, -2.0f, kNaN), ridge},
      {neutral, neutralization(1, 2, 0.0f, -kInf), "neutralization metadata split_penalty must be finite and >= 0"},
      {morph, Bytes(35, 0), "morph metadata section too short"},
      {morph, morph_header(3, 9), "unsupported morph metadata version: 3"},
      {morph, morph_header(2, 2), "unknown lr_schedule kind: 2"},
      {morph, bytes_of(raw(morph_header(2, 0)), u32(2), raw(Bytes(20, 0))),
       "morph metadata ema tail truncated: expected 24 bytes after header, got 20"},
      {morph, bytes_of(raw(morph_header(2, 0)), u32(0xFFFFFFFF)),
       "morph metadata ema tail truncated: expected 51539607540 bytes after header, got 0"},
      {baseline, Bytes(7, 0), "feature baseline section too short"},
      {baseline, bytes_of(u32(2), u32(0)), "unsupported feature baseline version: 2"},
      {baseline, bytes_of(u32(1), u32(0xFFFFFFFF)), "feature baseline section too short: need 17179869188 bytes, got 8"},
      {dart, Bytes(7, 0), "DartTreeWeights section too short for header"},
      {dart, bytes_of(u32(0), u32(0)), "unsupported DartTreeWeights version: 0"},
      {dart, bytes_of(u32(1), u32(2), f32(1), f32(1), f32(1)), "DartTreeWeights payload length 20 != expected 16 (2 weights)"},
      {dart, bytes_of(u32(1), u32(2), f32(1)), "DartTreeWeights payload length 12 != expected 16 (2 weights)"},
  };
  for (const auto& [decode, payload, message] : cases) EXPECT_TRUE(throws_validation([&] { decode(payload); }, message));
  // The writers refuse what the readers reject.
  EXPECT_TRUE(throws_validation([] { core::encode_dro_metadata_payload({kNaN}); }, "dro metadata radius must be finite and >= 0"));
  EXPECT_TRUE(throws_validation(
      [] { core::encode_neutralization_metadata_payload({kInf, 0.0f, core::NeutralizationKind::None}); }, ridge));
}

TEST(SectionMetadataPayloads, FindersReturnAbsentOrDecoded) {
  const std::vector<core::ModelArtifactSection> sections = {
      {{1}, ModelSectionKind::Trees, 0, 0},
      {bytes_of(u32(1), u32(1), f32(0.5f)), ModelSectionKind::DartTreeWeights, 0, 0},
      {bytes_of(u32(7), u32(0)), ModelSectionKind::FeatureBaseline, 0, 0},
      {dro(1, 0.5f, 0), ModelSectionKind::DroMetadata, 0, 0},
  };
  EXPECT_FALSE(core::decode_optional_neutralization_metadata_artifact_section(sections).has_value());
  EXPECT_FALSE(core::decode_optional_morph_metadata_artifact_section(sections).has_value());
  EXPECT_EQ(core::decode_optional_dro_metadata_artifact_section(sections)->radius, 0.5f);
  EXPECT_EQ(core::decode_optional_dart_tree_weights_section(sections), std::optional(std::vector<float>{0.5f}));
  EXPECT_TRUE(throws_validation([&] { core::decode_optional_feature_baseline_section(sections); },
                                "unsupported feature baseline version: 7"));
}

}  // namespace
}  // namespace kestrune

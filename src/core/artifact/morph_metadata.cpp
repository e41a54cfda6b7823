#include "core/artifact/morph_metadata.hpp"

#include <limits>
#include <string>

#include "core/artifact/payload_io.hpp"
#include "core/artifact/section_finder.hpp"
#include "core/error.hpp"
#include "support/bytes.hpp"

namespace kestrune::core {
namespace {

using payload_io::f32_at;
using payload_io::u16_at;
using payload_io::u32_at;

constexpr std::size_t kConfigLength = 36;
constexpr std::size_t kStatsStart = 40;
constexpr std::size_t kStatsRecordLength = 12;

}  // namespace

std::vector<std::uint8_t> encode_morph_metadata_payload(const MorphMetadata& metadata) {
  if (metadata.ema_stats.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw CoreError::serialization("morph metadata ema count exceeds u32::MAX");
  }
  const MorphConfig& config = metadata.config;
  const bool warmup_cosine = config.lr_schedule.kind == LrScheduleKind::WarmupCosine;
  support::ByteWriter writer;
  writer.bytes().reserve(kStatsStart + kStatsRecordLength * metadata.ema_stats.size());
  writer.put_u16(2);
  writer.put_f32(config.morph_rate);
  writer.put_f32(config.evolution_pressure);
  writer.put_u32(config.morph_warmup_iters);
  writer.put_f32(config.info_score_weight);
  writer.put_f32(config.depth_penalty_base);
  writer.put_u8(config.balance_penalty ? 1 : 0);
  writer.put_u8(warmup_cosine ? 1 : 0);
  writer.put_f32(warmup_cosine ? config.lr_schedule.warmup_frac : 0.0f);
  writer.put_u32(metadata.rounds_completed);
  writer.put_u32(metadata.scheduled_iterations);
  writer.put_u32(static_cast<std::uint32_t>(metadata.ema_stats.size()));
  for (const GradientEmaStats& stats : metadata.ema_stats) {
    writer.put_f32(stats.mean);
    writer.put_f32(stats.std);
    writer.put_f32(stats.rate);
  }
  return writer.take();
}

MorphMetadata decode_optional_morph_metadata_section(std::span<const std::uint8_t> payload) {
  if (payload.size() < kConfigLength) throw CoreError::validation("morph metadata section too short");
  const std::uint16_t version = u16_at(payload, 0);
  if (version != 1 && version != 2) {
    throw CoreError::validation("unsupported morph metadata version: " + std::to_string(version));
  }
  const std::uint8_t schedule = payload[23];
  if (schedule > 1) throw CoreError::validation("unknown lr_schedule kind: " + std::to_string(schedule));

  MorphMetadata metadata;
  MorphConfig& config = metadata.config;
  config.morph_rate = f32_at(payload, 2);
  config.evolution_pressure = f32_at(payload, 6);
  config.morph_warmup_iters = u32_at(payload, 10);
  config.info_score_weight = f32_at(payload, 14);
  config.depth_penalty_base = f32_at(payload, 18);
  config.balance_penalty = payload[22] != 0;
  if (schedule == 1) {
    config.lr_schedule = {LrScheduleKind::WarmupCosine, f32_at(payload, 24)};
  } else {
    config.lr_schedule = {LrScheduleKind::Constant, 0.0f};
  }
  metadata.rounds_completed = u32_at(payload, 28);
  metadata.scheduled_iterations = u32_at(payload, 32);

  if (version == 2 && payload.size() >= kStatsStart) {
    const std::uint32_t count = u32_at(payload, 36);
    const std::uint64_t tail_needed = static_cast<std::uint64_t>(count) * kStatsRecordLength;
    const std::uint64_t tail_present = payload.size() - kStatsStart;
    if (tail_needed > tail_present) {
      throw CoreError::validation("morph metadata ema tail truncated: expected " + std::to_string(tail_needed) +
                                  " bytes after header, got " + std::to_string(tail_present));
    }
    metadata.ema_stats.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t at = kStatsStart + kStatsRecordLength * i;
      metadata.ema_stats.push_back({f32_at(payload, at), f32_at(payload, at + 4), f32_at(payload, at + 8)});
    }
  }
  return metadata;
}

std::optional<MorphMetadata> decode_optional_morph_metadata_artifact_section(
    std::span<const ModelArtifactSection> sections) {
  return decode_optional_section(sections, ModelSectionKind::MorphMetadata, decode_optional_morph_metadata_section);
}

}  // namespace kestrune::core

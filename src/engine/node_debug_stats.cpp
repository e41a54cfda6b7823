#include "engine/node_debug_stats.hpp"

#include <limits>
#include <string>

#include "engine/artifact_sections.hpp"
#include "engine/error.hpp"
#include "support/bytes.hpp"

namespace kestrune::engine {
namespace {

constexpr std::size_t kHeaderLength = 8;
constexpr std::size_t kRecordLength = 40;

}  // namespace

NodeDebugStatsRecord NodeDebugStatsRecord::from_stump(const TrainedStump& stump) {
  return {stump.node_id,     stump.feature_index, stump.gain,        stump.left_stats,
          stump.right_stats, stump.split_bin,     stump.default_left};
}

std::vector<std::uint8_t> encode_node_debug_stats_payload(std::span<const NodeDebugStatsRecord> records) {
  if (records.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw EngineError::contract_violation("node debug stats count exceeds u32::MAX");
  }
  support::ByteWriter writer;
  writer.bytes().reserve(kHeaderLength + kRecordLength * records.size());
  writer.put_u32(1);
  writer.put_u32(static_cast<std::uint32_t>(records.size()));
  for (const NodeDebugStatsRecord& record : records) {
    writer.put_u32(record.node_id);
    writer.put_u32(record.feature_index);
    writer.put_u16(record.split_bin);
    writer.put_u16(record.default_left ? 1 : 0);
    writer.put_f32(record.gain);
    writer.put_f32(record.left_stats.grad_sum);
    writer.put_f32(record.left_stats.hess_sum);
    writer.put_u32(record.left_stats.count);
    writer.put_f32(record.right_stats.grad_sum);
    writer.put_f32(record.right_stats.hess_sum);
    writer.put_u32(record.right_stats.count);
  }
  return writer.take();
}

std::optional<std::vector<NodeDebugStatsRecord>> decode_optional_node_debug_stats_section(
    std::span<const core::ModelArtifactSection> sections) {
  const core::ModelArtifactSection* section = find_single_section(sections, core::ModelSectionKind::NodeDebugStats);
  if (section == nullptr) return std::nullopt;
  const std::span<const std::uint8_t> payload = section->payload;
  if (payload.size() < kHeaderLength) throw EngineError::contract_violation("node debug stats payload too small");
  const std::uint32_t version = read_u32_le(payload, 0);
  if (version != 1) {
    throw EngineError::contract_violation("unsupported node debug stats format version " + std::to_string(version));
  }
  const std::uint32_t count = read_u32_le(payload, 4);
  const std::uint64_t expected = kHeaderLength + static_cast<std::uint64_t>(kRecordLength) * count;
  if (payload.size() != expected) {
    throw EngineError::contract_violation("node debug stats payload length " + std::to_string(payload.size()) +
                                          " does not match expected " + std::to_string(expected));
  }
  std::vector<NodeDebugStatsRecord> records;
  records.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = kHeaderLength + kRecordLength * i;
    NodeDebugStatsRecord record;
    record.node_id = read_u32_le(payload, at);
    record.feature_index = read_u32_le(payload, at + 4);
    record.split_bin = read_u16_le(payload, at + 8);
    record.default_left = (payload[at + 10] & 1) != 0;
    record.gain = read_f32_le(payload, at + 12);
    record.left_stats = {read_f32_le(payload, at + 16), read_f32_le(payload, at + 20), 0.0f,
                         read_u32_le(payload, at + 24)};
    record.right_stats = {read_f32_le(payload, at + 28), read_f32_le(payload, at + 32), 0.0f,
                          read_u32_le(payload, at + 36)};
    records.push_back(record);
  }
  return records;
}

}  // namespace kestrune::engine

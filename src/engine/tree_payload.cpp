#include "engine/tree_payload.hpp"

#include <limits>
#include <string>

#include "engine/artifact_sections.hpp"
#include "engine/error.hpp"

namespace kestrune::engine {
namespace {

constexpr std::uint16_t kDefaultLeftFlag = 1;
constexpr std::uint16_t kCategoricalFlag = 2;

ChildStats stats_from_count(std::uint32_t count) { return {0.0f, static_cast<float>(count), 0.0f, count}; }

}  // namespace

void write_stump_record(support::ByteWriter& writer, const TrainedStump& stump) {
  writer.put_u32(stump.node_id);
  writer.put_u32(stump.feature_index);
  writer.put_u16(stump.split_bin);
  writer.put_u16(static_cast<std::uint16_t>((stump.categorical ? kCategoricalFlag : 0) |
                                            (stump.default_left ? kDefaultLeftFlag : 0)));
  writer.put_f32(stump.gain);
  writer.put_f32(leaf_constant_or_intercept(stump.left));
  writer.put_f32(leaf_constant_or_intercept(stump.right));
  writer.put_u32(stump.left_stats.count);
  writer.put_u32(stump.right_stats.count);
}

TrainedStump read_stump_record(std::span<const std::uint8_t> payload, std::size_t offset) {
  TrainedStump stump;
  stump.node_id = read_u32_le(payload, offset);
  stump.feature_index = read_u32_le(payload, offset + 4);
  stump.split_bin = read_u16_le(payload, offset + 8);
  const std::uint16_t flags = read_u16_le(payload, offset + 10);
  stump.default_left = (flags & kDefaultLeftFlag) != 0;
  stump.categorical = (flags & kCategoricalFlag) != 0;
  stump.gain = read_f32_le(payload, offset + 12);
  stump.left = read_f32_le(payload, offset + 16);
  stump.right = read_f32_le(payload, offset + 20);
  stump.left_stats = stats_from_count(read_u32_le(payload, offset + 24));
  stump.right_stats = stats_from_count(read_u32_le(payload, offset + 28));
  return stump;
}

std::vector<std::uint8_t> encode_trained_model_payload(const TrainedModel& model) {
  constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();
  if (model.feature_count > kU32Max) throw EngineError::contract_violation("feature_count exceeds u32::MAX");
  if (model.stumps.size() > kU32Max) throw EngineError::contract_violation("stump count exceeds u32::MAX");
  support::ByteWriter writer;
  writer.bytes().reserve(kTreesHeaderLength + kStumpRecordLength * model.stumps.size());
  writer.put_u32(1);
  writer.put_u32(static_cast<std::uint32_t>(model.feature_count));
  writer.put_u32(static_cast<std::uint32_t>(model.stumps.size()));
  writer.put_f32(model.base_prediction);
  for (const TrainedStump& stump : model.stumps) write_stump_record(writer, stump);
  return writer.take();
}

TrainedModel decode_trained_model_payload(std::span<const std::uint8_t> payload) {
  if (payload.size() < kTreesHeaderLength) throw EngineError::contract_violation("model payload too small");
  const std::uint32_t version = read_u32_le(payload, 0);
  if (version != 1) {
    throw EngineError::contract_violation("unsupported model payload format version " + std::to_string(version));
  }
  TrainedModel model;
  model.feature_count = read_u32_le(payload, 4);
  const std::uint32_t count = read_u32_le(payload, 8);
  model.base_prediction = read_f32_le(payload, 12);
  const std::uint64_t expected = kTreesHeaderLength + static_cast<std::uint64_t>(kStumpRecordLength) * count;
  if (payload.size() != expected) {
    throw EngineError::contract_violation("model payload length " + std::to_string(payload.size()) +
                                          " does not match expected " + std::to_string(expected));
  }
  model.stumps.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    model.stumps.push_back(read_stump_record(payload, kTreesHeaderLength + kStumpRecordLength * i));
  }
  return model;
}

}  // namespace kestrune::engine

#include "core/artifact/categorical_state.hpp"

#include <limits>
#include <string>

#include "core/artifact/payload_io.hpp"
#include "core/artifact/section_finder.hpp"
#include "core/error.hpp"
#include "support/bytes.hpp"

namespace kestrune::core {
namespace {

constexpr std::size_t kHeaderLength = 16;
constexpr std::uint32_t kTimeAwareFlag = 1;

}  // namespace

void validate_categorical_state_payload_v1(const CategoricalStatePayloadV1& state,
                                           std::optional<std::size_t> feature_count) {
  if (state.format_version != 1) {
    throw CoreError::validation("unsupported categorical state format_version " +
                                std::to_string(state.format_version) + ", expected 1");
  }
  const auto& indices = state.feature_indices;
  if (indices.empty()) {
    throw CoreError::validation("categorical state must include at least one categorical feature index");
  }
  for (std::size_t i = 1; i < indices.size(); ++i) {
    if (indices[i] <= indices[i - 1]) {
      throw CoreError::validation("categorical state feature indices must be strictly increasing (found " +
                                  std::to_string(indices[i]) + " after " + std::to_string(indices[i - 1]) + ")");
    }
  }
  if (feature_count) {
    for (const std::uint32_t index : indices) {
      if (index >= *feature_count) {
        throw CoreError::validation("categorical state feature index " + std::to_string(index) +
                                    " is out of bounds for feature_count " + std::to_string(*feature_count));
      }
    }
  }
}

std::vector<std::uint8_t> encode_categorical_state_payload_v1(const CategoricalStatePayloadV1& state) {
  validate_categorical_state_payload_v1(state, std::nullopt);
  if (state.feature_indices.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw CoreError::serialization("categorical feature count exceeds u32::MAX");
  }
  support::ByteWriter writer;
  writer.bytes().reserve(kHeaderLength + 4 * state.feature_indices.size());
  writer.put_u32(state.format_version);
  writer.put_u32(state.time_aware ? kTimeAwareFlag : 0);
  writer.put_u32(static_cast<std::uint32_t>(state.feature_indices.size()));
  writer.put_u32(0);
  for (const std::uint32_t index : state.feature_indices) writer.put_u32(index);
  return writer.take();
}

CategoricalStatePayloadV1 decode_categorical_state_payload_v1(std::span<const std::uint8_t> payload) {
  using payload_io::u32_at;
  if (payload.size() < kHeaderLength) {
    throw CoreError::serialization("categorical state payload length " + std::to_string(payload.size()) +
                                   " is smaller than header length " + std::to_string(kHeaderLength));
  }
  const std::uint32_t flags = u32_at(payload, 4);
  if ((flags & ~kTimeAwareFlag) != 0) {
    throw CoreError::serialization("categorical state payload contains unknown flags: " +
                                   std::to_string(flags & ~kTimeAwareFlag));
  }
  const std::uint32_t count = u32_at(payload, 8);
  const std::uint64_t expected = payload_io::records_length(kHeaderLength, count, 4);
  if (payload.size() != expected) {
    throw CoreError::serialization("categorical state payload length " + std::to_string(payload.size()) +
                                   " does not match expected " + std::to_string(expected));
  }
  CategoricalStatePayloadV1 state;
  state.format_version = u32_at(payload, 0);
  state.time_aware = (flags & kTimeAwareFlag) != 0;
  state.feature_indices.reserve(count);
  for (std::size_t i = 0; i < count; ++i) state.feature_indices.push_back(u32_at(payload, kHeaderLength + 4 * i));
  validate_categorical_state_payload_v1(state, std::nullopt);
  return state;
}

std::optional<CategoricalStatePayloadV1> decode_optional_categorical_state_section_v1(
    std::span<const ModelArtifactSection> sections, std::size_t feature_count) {
  auto state = decode_optional_section(sections, ModelSectionKind::CategoricalState,
                                       decode_categorical_state_payload_v1);
  if (state) validate_categorical_state_payload_v1(*state, feature_count);
  return state;
}

}  // namespace kestrune::core

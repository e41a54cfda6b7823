#include "core/artifact/native_categorical_payload.hpp"

#include <algorithm>
#include <limits>

#include "core/artifact/payload_io.hpp"
#include "core/artifact/section_finder.hpp"
#include "core/error.hpp"
#include "support/bytes.hpp"

namespace kestrune::core {
namespace {

constexpr std::size_t kHeaderLength = 8;
constexpr std::size_t kEntryHeaderLength = 6;
constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::vector<std::uint8_t> encode_native_categorical_splits_payload(const NativeCategoricalSplitsPayload& payload) {
  if (payload.feature_indices.size() > kU32Max) {
    throw CoreError::serialization("native cat feature count exceeds u32::MAX");
  }
  if (payload.entries.size() > kU32Max) throw CoreError::serialization("native cat stump count exceeds u32::MAX");
  for (const NativeCategoricalSplitEntry& entry : payload.entries) {
    if (entry.bitset.size() > std::numeric_limits<std::uint16_t>::max()) {
      throw CoreError::serialization("bitset length exceeds u16::MAX");
    }
  }
  support::ByteWriter writer;
  writer.put_u32(static_cast<std::uint32_t>(payload.feature_indices.size()));
  writer.put_u32(static_cast<std::uint32_t>(payload.entries.size()));
  for (const std::uint32_t index : payload.feature_indices) writer.put_u32(index);
  for (const NativeCategoricalSplitEntry& entry : payload.entries) {
    writer.put_u32(entry.stump_index);
    writer.put_u16(static_cast<std::uint16_t>(entry.bitset.size()));
    writer.put_bytes(entry.bitset);
  }
  return writer.take();
}

NativeCategoricalSplitsPayload decode_native_categorical_splits_payload(std::span<const std::uint8_t> bytes) {
  using payload_io::u16_at;
  using payload_io::u32_at;
  if (bytes.size() < kHeaderLength) {
    throw CoreError::serialization("native categorical splits payload too small for header");
  }
  const std::uint32_t feature_count = u32_at(bytes, 0);
  const std::uint32_t entry_count = u32_at(bytes, 4);
  const std::uint64_t features_end = payload_io::records_length(kHeaderLength, feature_count, 4);
  if (bytes.size() < features_end) {
    throw CoreError::serialization("native categorical splits payload too small for feature indices");
  }
  NativeCategoricalSplitsPayload payload;
  payload.feature_indices.reserve(feature_count);
  for (std::size_t i = 0; i < feature_count; ++i) payload.feature_indices.push_back(u32_at(bytes, kHeaderLength + 4 * i));

  std::size_t position = features_end;
  payload.entries.reserve(std::min<std::size_t>(entry_count, (bytes.size() - position) / kEntryHeaderLength));
  for (std::uint32_t i = 0; i < entry_count; ++i) {
    if (bytes.size() - position < kEntryHeaderLength) {
      throw CoreError::serialization("native categorical splits payload truncated in stump bitset header");
    }
    NativeCategoricalSplitEntry entry;
    entry.stump_index = u32_at(bytes, position);
    const std::uint16_t length = u16_at(bytes, position + 4);
    position += kEntryHeaderLength;
    if (bytes.size() - position < length) {
      throw CoreError::serialization("native categorical splits payload truncated in bitset data");
    }
    const auto bitset = bytes.subspan(position, length);
    entry.bitset.assign(bitset.begin(), bitset.end());
    position += length;
    payload.entries.push_back(std::move(entry));
  }
  return payload;
}

std::optional<NativeCategoricalSplitsPayload> decode_optional_native_categorical_splits_section(
    std::span<const ModelArtifactSection> sections) {
  return decode_optional_section(sections, ModelSectionKind::NativeCategoricalSplits,
                                 decode_native_categorical_splits_payload);
}

}  // namespace kestrune::core

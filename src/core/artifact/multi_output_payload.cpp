#include "core/artifact/multi_output_payload.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "core/artifact/payload_io.hpp"
#include "core/artifact/section_finder.hpp"
#include "core/error.hpp"
#include "support/bytes.hpp"

namespace kestrune::core {
namespace {

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::vector<std::uint8_t> encode_multi_output_leaf_values_payload(const MultiOutputLeafValuesPayload& payload) {
  if (payload.stump_values.size() > kU32Max) {
    throw CoreError::serialization("multi-output stump count exceeds u32::MAX");
  }
  for (const auto& values : payload.stump_values) {
    if (values.size() > kU32Max) throw CoreError::serialization("multi-output value count exceeds u32::MAX");
  }
  support::ByteWriter writer;
  writer.put_u32(1);
  writer.put_u32(payload.n_outputs);
  writer.put_u32(static_cast<std::uint32_t>(payload.stump_values.size()));
  for (const auto& values : payload.stump_values) {
    writer.put_u32(static_cast<std::uint32_t>(values.size()));
    for (const float value : values) writer.put_f32(value);
  }
  return writer.take();
}

MultiOutputLeafValuesPayload decode_multi_output_leaf_values_payload(std::span<const std::uint8_t> bytes) {
  support::ByteReader reader(bytes);
  const auto version = reader.u32();
  const auto n_outputs = reader.u32();
  const auto stump_count = reader.u32();
  if (!version || !n_outputs || !stump_count) {
    throw CoreError::validation("MultiOutputLeafValues section too short for header");
  }
  if (*version != 1) throw CoreError::validation("unsupported MultiOutputLeafValues version: " + std::to_string(*version));
  MultiOutputLeafValuesPayload payload;
  payload.n_outputs = *n_outputs;
  payload.stump_values.reserve(std::min<std::size_t>(*stump_count, reader.remaining() / 4));
  for (std::uint32_t i = 0; i < *stump_count; ++i) {
    const auto length = reader.u32();
    if (!length) throw CoreError::validation("MultiOutputLeafValues: truncated stump length");
    if (static_cast<std::uint64_t>(*length) * 4 > reader.remaining()) {
      throw CoreError::validation("MultiOutputLeafValues: truncated leaf values");
    }
    std::vector<float> values;
    values.reserve(*length);
    for (std::uint32_t k = 0; k < *length; ++k) values.push_back(payload_io::checked(reader.f32()));
    payload.stump_values.push_back(std::move(values));
  }
  return payload;
}

std::optional<MultiOutputLeafValuesPayload> decode_optional_multi_output_leaf_values_section(
    std::span<const ModelArtifactSection> sections) {
  return decode_optional_section(sections, ModelSectionKind::MultiOutputLeafValues,
                                 decode_multi_output_leaf_values_payload);
}

}  // namespace kestrune::core

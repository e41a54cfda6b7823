#include "core/artifact/linear_leaf_payload.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "core/artifact/section_finder.hpp"
#include "core/error.hpp"
#include "support/bytes.hpp"

namespace kestrune::core {
namespace {

constexpr std::uint8_t kLeftPresent = 1;
constexpr std::uint8_t kRightPresent = 2;
constexpr std::size_t kSmallestEntry = 5;  // stump index and flags, no leaves

void check_storable(const LinearLeaf& leaf, const char* side, std::uint32_t stump_index) {
  const std::string which = std::string(side) + " linear leaf of stump " + std::to_string(stump_index);
  if (leaf.coefficients.size() != leaf.feature_indices.size()) {
    throw CoreError::validation(which + " has " + std::to_string(leaf.coefficients.size()) +
                                " coefficients but " + std::to_string(leaf.feature_indices.size()) +
                                " feature indices");
  }
  if (leaf.coefficients.size() > kMaxLinearLeafTerms) {
    throw CoreError::validation(which + " has " + std::to_string(leaf.coefficients.size()) +
                                " terms, more than the " + std::to_string(kMaxLinearLeafTerms) + " a model stores");
  }
}

void write_leaf(support::ByteWriter& writer, const LinearLeaf& leaf) {
  writer.put_u8(static_cast<std::uint8_t>(leaf.coefficients.size()));
  writer.put_f32(leaf.intercept);
  for (const float coefficient : leaf.coefficients) writer.put_f32(coefficient);
  for (const std::uint32_t index : leaf.feature_indices) writer.put_u32(index);
}

[[noreturn]] void data_ended() { throw CoreError::validation("unexpected end of linear leaf coefficients data"); }

std::uint32_t read_u32(support::ByteReader& reader) {
  const auto value = reader.u32();
  if (!value) data_ended();
  return *value;
}

float read_f32(support::ByteReader& reader) {
  const auto value = reader.f32();
  if (!value) data_ended();
  return *value;
}

LinearLeaf read_leaf(support::ByteReader& reader) {
  const auto terms = reader.u8();
  if (!terms) throw CoreError::validation("unexpected end reading linear leaf");
  LinearLeaf leaf;
  leaf.intercept = read_f32(reader);
  leaf.coefficients.reserve(*terms);
  for (unsigned i = 0; i < *terms; ++i) leaf.coefficients.push_back(read_f32(reader));
  leaf.feature_indices.reserve(*terms);
  for (unsigned i = 0; i < *terms; ++i) leaf.feature_indices.push_back(read_u32(reader));
  return leaf;
}

}  // namespace

std::vector<std::uint8_t> encode_linear_leaf_coefficients_payload(std::span<const LinearLeafEntry> entries) {
  if (entries.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw CoreError::serialization("linear leaf entry count exceeds u32::MAX");
  }
  for (const LinearLeafEntry& entry : entries) {
    if (entry.left) check_storable(*entry.left, "left", entry.stump_index);
    if (entry.right) check_storable(*entry.right, "right", entry.stump_index);
  }
  support::ByteWriter writer;
  writer.put_u32(1);
  writer.put_u32(static_cast<std::uint32_t>(entries.size()));
  for (const LinearLeafEntry& entry : entries) {
    writer.put_u32(entry.stump_index);
    writer.put_u8(static_cast<std::uint8_t>((entry.left ? kLeftPresent : 0) | (entry.right ? kRightPresent : 0)));
    if (entry.left) write_leaf(writer, *entry.left);
    if (entry.right) write_leaf(writer, *entry.right);
  }
  return writer.take();
}

LinearLeafCoefficientsPayload decode_linear_leaf_coefficients_payload(std::span<const std::uint8_t> payload) {
  support::ByteReader reader(payload);
  const auto version = reader.u32();
  const auto count = reader.u32();
  if (!version || !count) throw CoreError::validation("linear leaf coefficients section too short");
  if (*version != 1) {
    throw CoreError::validation("unsupported linear leaf coefficients version: " + std::to_string(*version));
  }
  LinearLeafCoefficientsPayload entries;
  // A count is only a promise: reserve no more than the remaining bytes can hold.
  entries.reserve(std::min<std::size_t>(*count, reader.remaining() / kSmallestEntry));
  for (std::uint32_t i = 0; i < *count; ++i) {
    LinearLeafEntry entry;
    entry.stump_index = read_u32(reader);
    const auto flags = reader.u8();
    if (!flags) data_ended();
    if (*flags & kLeftPresent) entry.left = read_leaf(reader);
    if (*flags & kRightPresent) entry.right = read_leaf(reader);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::optional<LinearLeafCoefficientsPayload> decode_optional_linear_leaf_coefficients_section(
    std::span<const ModelArtifactSection> sections) {
  return decode_optional_section(sections, ModelSectionKind::LinearLeafCoefficients,
                                 decode_linear_leaf_coefficients_payload);
}

}  // namespace kestrune::core

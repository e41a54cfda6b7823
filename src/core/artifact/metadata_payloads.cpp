#include "core/artifact/metadata_payloads.hpp"

#include <cmath>
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

constexpr std::size_t kDroLength = 7;
constexpr std::size_t kNeutralizationLength = 11;
constexpr std::size_t kValueListHeader = 8;

bool finite_non_negative(float value) { return std::isfinite(value) && value >= 0.0f; }

std::vector<std::uint8_t> encode_value_list(std::span<const float> values) {
  if (values.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw CoreError::serialization("value count exceeds u32::MAX");
  }
  support::ByteWriter writer;
  writer.bytes().reserve(kValueListHeader + 4 * values.size());
  writer.put_u32(1);
  writer.put_u32(static_cast<std::uint32_t>(values.size()));
  for (const float value : values) writer.put_f32(value);
  return writer.take();
}

std::vector<float> read_values(std::span<const std::uint8_t> payload, std::uint32_t count) {
  std::vector<float> values;
  values.reserve(count);
  for (std::size_t i = 0; i < count; ++i) values.push_back(f32_at(payload, kValueListHeader + 4 * i));
  return values;
}

}  // namespace

std::vector<std::uint8_t> encode_dro_metadata_payload(const DroMetadata& metadata) {
  // The reader refuses such a radius, so the writer does too rather than emit a dead artifact.
  if (!finite_non_negative(metadata.radius)) {
    throw CoreError::validation("dro metadata radius must be finite and >= 0");
  }
  support::ByteWriter writer;
  writer.put_u16(1);
  writer.put_f32(metadata.radius);
  writer.put_u8(0);  // Wasserstein, the only metric
  return writer.take();
}

DroMetadata decode_dro_metadata_payload(std::span<const std::uint8_t> payload) {
  if (payload.size() < kDroLength) throw CoreError::validation("dro metadata section too short");
  const std::uint16_t version = u16_at(payload, 0);
  if (version != 1) throw CoreError::validation("unsupported dro metadata version: " + std::to_string(version));
  const float radius = f32_at(payload, 2);
  if (!finite_non_negative(radius)) throw CoreError::validation("dro metadata radius must be finite and >= 0");
  const std::uint8_t metric = payload[6];
  if (metric != 0) throw CoreError::validation("unsupported dro metadata metric kind: " + std::to_string(metric));
  return {radius, DroMetric::Wasserstein};
}

std::vector<std::uint8_t> encode_neutralization_metadata_payload(const NeutralizationMetadata& metadata) {
  if (!finite_non_negative(metadata.ridge_lambda)) {
    throw CoreError::validation("neutralization metadata ridge_lambda must be finite and >= 0");
  }
  if (!finite_non_negative(metadata.split_penalty)) {
    throw CoreError::validation("neutralization metadata split_penalty must be finite and >= 0");
  }
  support::ByteWriter writer;
  writer.put_u16(1);
  writer.put_u8(static_cast<std::uint8_t>(metadata.kind));
  writer.put_f32(metadata.ridge_lambda);
  writer.put_f32(metadata.split_penalty);
  return writer.take();
}

NeutralizationMetadata decode_neutralization_metadata_payload(std::span<const std::uint8_t> payload) {
  if (payload.size() < kNeutralizationLength) throw CoreError::validation("neutralization metadata section too short");
  const std::uint16_t version = u16_at(payload, 0);
  if (version != 1) {
    throw CoreError::validation("unsupported neutralization metadata version: " + std::to_string(version));
  }
  const std::uint8_t kind = payload[2];
  if (kind >= 4) throw CoreError::validation("unsupported neutralization metadata kind: " + std::to_string(kind));
  const float ridge_lambda = f32_at(payload, 3);
  if (!finite_non_negative(ridge_lambda)) {
    throw CoreError::validation("neutralization metadata ridge_lambda must be finite and >= 0");
  }
  const float split_penalty = f32_at(payload, 7);
  if (!finite_non_negative(split_penalty)) {
    throw CoreError::validation("neutralization metadata split_penalty must be finite and >= 0");
  }
  return {ridge_lambda, split_penalty, static_cast<NeutralizationKind>(kind)};
}

std::vector<std::uint8_t> encode_feature_baseline_payload(std::span<const float> values) {
  return encode_value_list(values);
}

std::vector<std::uint8_t> encode_dart_tree_weights_payload(std::span<const float> weights) {
  return encode_value_list(weights);
}

std::vector<float> decode_feature_baseline_payload(std::span<const std::uint8_t> payload) {
  if (payload.size() < kValueListHeader) throw CoreError::validation("feature baseline section too short");
  const std::uint32_t version = u32_at(payload, 0);
  if (version != 1) throw CoreError::validation("unsupported feature baseline version: " + std::to_string(version));
  const std::uint32_t count = u32_at(payload, 4);
  const std::uint64_t needed = payload_io::records_length(kValueListHeader, count, 4);
  if (payload.size() < needed) {
    throw CoreError::validation("feature baseline section too short: need " + std::to_string(needed) +
                                " bytes, got " + std::to_string(payload.size()));
  }
  return read_values(payload, count);
}

std::vector<float> decode_dart_tree_weights_payload(std::span<const std::uint8_t> payload) {
  if (payload.size() < kValueListHeader) throw CoreError::validation("DartTreeWeights section too short for header");
  const std::uint32_t version = u32_at(payload, 0);
  if (version != 1) throw CoreError::validation("unsupported DartTreeWeights version: " + std::to_string(version));
  const std::uint32_t count = u32_at(payload, 4);
  const std::uint64_t expected = payload_io::records_length(kValueListHeader, count, 4);
  if (payload.size() != expected) {
    throw CoreError::validation("DartTreeWeights payload length " + std::to_string(payload.size()) + " != expected " +
                                std::to_string(expected) + " (" + std::to_string(count) + " weights)");
  }
  return read_values(payload, count);
}

std::optional<DroMetadata> decode_optional_dro_metadata_artifact_section(
    std::span<const ModelArtifactSection> sections) {
  return decode_optional_section(sections, ModelSectionKind::DroMetadata, decode_dro_metadata_payload);
}

std::optional<NeutralizationMetadata> decode_optional_neutralization_metadata_artifact_section(
    std::span<const ModelArtifactSection> sections) {
  return decode_optional_section(sections, ModelSectionKind::NeutralizationMetadata, decode_neutralization_metadata_payload);
}

std::optional<std::vector<float>> decode_optional_feature_baseline_section(
    std::span<const ModelArtifactSection> sections) {
  return decode_optional_section(sections, ModelSectionKind::FeatureBaseline, decode_feature_baseline_payload);
}

std::optional<std::vector<float>> decode_optional_dart_tree_weights_section(
    std::span<const ModelArtifactSection> sections) {
  return decode_optional_section(sections, ModelSectionKind::DartTreeWeights, decode_dart_tree_weights_payload);
}

}  // namespace kestrune::core

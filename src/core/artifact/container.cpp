#include "core/artifact/container.hpp"

#include <limits>

#include "core/artifact/payload_io.hpp"
#include "core/error.hpp"
#include "support/bytes.hpp"
#include "support/utf8.hpp"

namespace kestrune::core {
namespace {

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

std::uint32_t magic_word() { return payload_io::u32_at(kModelArtifactMagic, 0); }

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string version_mismatch(std::uint32_t found) {
  return "unsupported format_version " + std::to_string(found) + ", expected " +
         std::to_string(kModelArtifactFormatVersion);
}

}  // namespace

void validate_model_contract_v1(const ModelIoContractV1& contract) {
  if (contract.magic != kModelArtifactMagic) throw CoreError::serialization("model contract magic mismatch");
  if (contract.format_version != kModelArtifactFormatVersion) {
    throw CoreError::serialization(version_mismatch(contract.format_version));
  }
  if (contract.metadata.format_version != kModelArtifactFormatVersion) {
    throw CoreError::serialization("metadata format_version " + std::to_string(contract.metadata.format_version) +
                                   ", expected " + std::to_string(kModelArtifactFormatVersion));
  }
  if (contract.descriptors.size() != contract.section_count) {
    throw CoreError::serialization("section table length " + std::to_string(contract.descriptors.size()) +
                                   " does not match header section_count " + std::to_string(contract.section_count));
  }
  // The count equals a u32 here, so the table length cannot overflow 64 bits.
  const std::uint64_t payload_start =
      kModelHeaderLength + kSectionDescriptorLength * contract.descriptors.size() + contract.metadata_len;
  std::uint64_t expected = payload_start;
  for (const ModelSectionDescriptor& descriptor : contract.descriptors) {
    if (descriptor.length == 0) throw CoreError::serialization("section length must be greater than 0");
    if (descriptor.offset < payload_start) {
      throw CoreError::serialization("section offset " + std::to_string(descriptor.offset) +
                                     " precedes payload start " + std::to_string(payload_start));
    }
    if (descriptor.offset != expected) {
      throw CoreError::serialization("section offsets must be contiguous and ordered (expected " +
                                     std::to_string(expected) + ", found " + std::to_string(descriptor.offset) + ")");
    }
    if (descriptor.length > std::numeric_limits<std::uint64_t>::max() - expected) {
      throw CoreError::serialization("section offset overflow");
    }
    expected += descriptor.length;
  }
}

std::vector<std::uint8_t> serialize_model_artifact_v1(const ModelMetadata& metadata,
                                                      std::span<const SectionPayload> sections) {
  if (sections.empty()) throw CoreError::serialization("model artifact requires at least one section");
  const std::string json = serialize_metadata_json(metadata);
  if (json.size() > kU32Max) throw CoreError::serialization("metadata json length exceeds u32::MAX");
  // Names come from callers as raw bytes; text the reader would refuse is refused here instead.
  if (const auto error = support::validate_utf8(as_bytes(json))) {
    throw CoreError::serialization("metadata json is not valid UTF-8: " + error->to_string());
  }
  if (sections.size() > kU32Max) throw CoreError::serialization("section count exceeds u32::MAX");

  std::vector<ModelSectionDescriptor> descriptors;
  descriptors.reserve(sections.size());
  std::uint64_t running = kModelHeaderLength + kSectionDescriptorLength * sections.size() + json.size();
  for (const auto& [kind, payload] : sections) {
    if (payload.empty()) throw CoreError::serialization("section payload cannot be empty");
    descriptors.push_back({kind, running, payload.size()});
    if (payload.size() > std::numeric_limits<std::uint64_t>::max() - running) {
      throw CoreError::serialization("section offset overflow");
    }
    running += payload.size();
  }

  ModelIoContractV1 contract;
  contract.descriptors = descriptors;
  contract.metadata = metadata;
  contract.section_count = static_cast<std::uint32_t>(sections.size());
  contract.metadata_len = static_cast<std::uint32_t>(json.size());
  validate_model_contract_v1(contract);

  support::ByteWriter writer;
  writer.bytes().reserve(running);
  writer.put_u32(magic_word());
  writer.put_u32(kModelArtifactFormatVersion);
  writer.put_u32(contract.section_count);
  writer.put_u32(contract.metadata_len);
  for (const ModelSectionDescriptor& descriptor : descriptors) {
    writer.put_u32(section_kind_code(descriptor.kind));
    writer.put_u64(descriptor.offset);
    writer.put_u64(descriptor.length);
  }
  writer.put_bytes(as_bytes(json));
  for (const auto& section : sections) writer.put_bytes(section.second);
  return writer.take();
}

ParsedModelArtifactV1 deserialize_model_artifact_v1(std::span<const std::uint8_t> bytes) {
  using payload_io::u32_at;
  using payload_io::u64_at;
  const std::uint64_t input_length = bytes.size();
  if (input_length < kModelHeaderLength) throw CoreError::serialization("artifact too small to contain model header");
  if (u32_at(bytes, 0) != magic_word()) throw CoreError::serialization("model header magic mismatch");
  const std::uint32_t format_version = u32_at(bytes, 4);
  if (format_version != kModelArtifactFormatVersion) throw CoreError::serialization(version_mismatch(format_version));
  const std::uint32_t section_count = u32_at(bytes, 8);
  const std::uint32_t metadata_len = u32_at(bytes, 12);

  const std::uint64_t table_end = kModelHeaderLength + kSectionDescriptorLength * section_count;
  if (input_length < table_end) throw CoreError::serialization("artifact truncated in section descriptor table");
  std::vector<ModelSectionDescriptor> descriptors;
  descriptors.reserve(section_count);
  for (std::uint64_t i = 0; i < section_count; ++i) {
    const std::size_t at = kModelHeaderLength + kSectionDescriptorLength * i;
    descriptors.push_back({section_kind_from_code(u32_at(bytes, at)), u64_at(bytes, at + 4), u64_at(bytes, at + 12)});
  }

  const std::uint64_t metadata_end = table_end + metadata_len;
  if (input_length < metadata_end) throw CoreError::serialization("artifact truncated in metadata payload");
  const auto metadata_bytes = bytes.subspan(table_end, metadata_len);
  if (const auto error = support::validate_utf8(metadata_bytes)) {
    throw CoreError::serialization("metadata json is not valid UTF-8: " + error->to_string());
  }
  ParsedModelArtifactV1 parsed;
  parsed.metadata_json.assign(reinterpret_cast<const char*>(metadata_bytes.data()), metadata_bytes.size());

  parsed.contract.metadata = deserialize_metadata_json(parsed.metadata_json);
  parsed.contract.format_version = format_version;
  parsed.contract.section_count = section_count;
  parsed.contract.metadata_len = metadata_len;
  parsed.contract.descriptors = std::move(descriptors);
  validate_model_contract_v1(parsed.contract);

  parsed.sections.reserve(section_count);
  for (const ModelSectionDescriptor& descriptor : parsed.contract.descriptors) {
    if (descriptor.length > std::numeric_limits<std::uint64_t>::max() - descriptor.offset) {
      throw CoreError::serialization("section range overflow");
    }
    if (descriptor.offset + descriptor.length > input_length) {
      throw CoreError::serialization("artifact truncated in section payload");
    }
    const auto payload = bytes.subspan(descriptor.offset, descriptor.length);
    parsed.sections.push_back(
        {std::vector<std::uint8_t>(payload.begin(), payload.end()), descriptor.kind, descriptor.offset, descriptor.length});
  }
  return parsed;
}

}  // namespace kestrune::core

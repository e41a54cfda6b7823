// The model artifact container, format version 1: a 16-byte header ("KSTR", version, section
// count, metadata length), a table of 20-byte section descriptors, the metadata JSON, then the
// section payloads back to back. Payloads are carried as opaque bytes tagged with their kind.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/artifact/metadata_json.hpp"
#include "core/artifact/section_kind.hpp"

namespace kestrune::core {

inline constexpr std::array<std::uint8_t, 4> kModelArtifactMagic = {'K', 'S', 'T', 'R'};
inline constexpr std::uint32_t kModelArtifactFormatVersion = 1;
inline constexpr std::uint64_t kModelHeaderLength = 16;
inline constexpr std::uint64_t kSectionDescriptorLength = 20;

struct ModelSectionDescriptor {
  ModelSectionKind kind = ModelSectionKind::Trees;
  std::uint64_t offset = 0;  // absolute position of the payload in the file
  std::uint64_t length = 0;  // payload byte count, > 0

  friend bool operator==(const ModelSectionDescriptor&, const ModelSectionDescriptor&) = default;
};

// One section of a parsed artifact: an owned copy of its payload and its descriptor fields.
struct ModelArtifactSection {
  std::vector<std::uint8_t> payload;
  ModelSectionKind kind = ModelSectionKind::Trees;
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

// What the header, descriptor table and metadata of an artifact promise; both the writer and the
// reader check it with `validate_model_contract_v1`.
struct ModelIoContractV1 {
  std::vector<ModelSectionDescriptor> descriptors;
  ModelMetadata metadata;
  std::array<std::uint8_t, 4> magic = kModelArtifactMagic;
  std::uint32_t format_version = kModelArtifactFormatVersion;
  std::uint32_t section_count = 0;
  std::uint32_t metadata_len = 0;
};

struct ParsedModelArtifactV1 {
  ModelIoContractV1 contract;
  std::string metadata_json;  // exactly as stored
  std::vector<ModelArtifactSection> sections;  // in file order
};

// A section to write: its kind and its non-empty payload.
using SectionPayload = std::pair<ModelSectionKind, std::vector<std::uint8_t>>;

// Writes metadata and sections in the given order. CoreError::Serialization on failure; no
// partial output.
std::vector<std::uint8_t> serialize_model_artifact_v1(const ModelMetadata& metadata,
                                                      std::span<const SectionPayload> sections);

// Parses a whole artifact; every count and range is checked against the input before anything
// is allocated or copied by it. Trailing bytes after the last payload are ignored.
ParsedModelArtifactV1 deserialize_model_artifact_v1(std::span<const std::uint8_t> bytes);

// Magic, versions, descriptor count and contiguous non-empty payload ranges.
void validate_model_contract_v1(const ModelIoContractV1& contract);

}  // namespace kestrune::core

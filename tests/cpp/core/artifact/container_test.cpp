#include "core/artifact/container.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "core/artifact/required_sections.hpp"
#include "core/artifact/section_finder.hpp"
#include "../expect_core_error.hpp"
#include "support/bytes.hpp"

namespace kestrune {
namespace {

using core::CoreErrorKind;
using core::ModelSectionKind;
using Bytes = std::vector<std::uint8_t>;
using testing_support::throws_core_error;

constexpr auto kSer = CoreErrorKind::Serialization;

core::ModelMetadata small_metadata() {
  core::ModelMetadata metadata;
  metadata.objective = "o";
  return metadata;
}

// {"format_version":1,"feature_names":[],"trained_device":"cpu","objective":"o"}: 78 bytes.
const std::string kSmallJson = R"({"format_version":1,"feature_names":[],"trained_device":"cpu","objective":"o"})";

// The artifact of small_metadata() with a 2-byte Trees section and a 1-byte section of code 99.
Bytes golden_artifact() {
  Bytes bytes = {
      'K', 'S', 'T', 'R', 1, 0, 0, 0, 2, 0, 0, 0, 78, 0, 0, 0,                  // header
      1,   0,   0,   0,   134, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0,    // Trees at 134, 2 bytes
      99,  0,   0,   0,   136, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0,    // Unknown(99) at 136
  };
  for (const char c : kSmallJson) bytes.push_back(static_cast<std::uint8_t>(c));
  for (const std::uint8_t b : {0xAA, 0xBB, 0xCC}) bytes.push_back(b);
  return bytes;
}

std::vector<core::SectionPayload> golden_sections() {
  return {{ModelSectionKind::Trees, {0xAA, 0xBB}}, {core::section_kind_from_code(99), {0xCC}}};
}

void put_u32_at(Bytes& bytes, std::size_t offset, std::uint32_t value) {
  for (int k = 0; k < 4; ++k) bytes[offset + k] = static_cast<std::uint8_t>(value >> (8 * k));
}
void put_u64_at(Bytes& bytes, std::size_t offset, std::uint64_t value) {
  for (int k = 0; k < 8; ++k) bytes[offset + k] = static_cast<std::uint8_t>(value >> (8 * k));
}

core::ModelArtifactSection section_of(ModelSectionKind kind, Bytes payload = {1}) {
  return {std::move(payload), kind, 0, 0};
}

TEST(ArtifactContainer, WritesTheGoldenLayout) {
  ASSERT_EQ(kSmallJson.size(), 78u);
  EXPECT_EQ(core::serialize_model_artifact_v1(small_metadata(), golden_sections()), golden_artifact());
}

TEST(ArtifactContainer, ReadsTheGoldenLayout) {
  const core::ParsedModelArtifactV1 parsed = core::deserialize_model_artifact_v1(golden_artifact());
  EXPECT_EQ(parsed.metadata_json, kSmallJson);
  EXPECT_EQ(parsed.contract.metadata, small_metadata());
  const std::vector<core::ModelSectionDescriptor> descriptors = {{ModelSectionKind::Trees, 134, 2},
                                                                 {core::section_kind_from_code(99), 136, 1}};
  EXPECT_EQ(parsed.contract.descriptors, descriptors);
  ASSERT_EQ(parsed.sections.size(), 2u);
  EXPECT_EQ(parsed.sections[0].payload, (Bytes{0xAA, 0xBB}));
  EXPECT_EQ(parsed.sections[1].payload, Bytes{0xCC});
}

TEST(ArtifactContainer, UnknownSectionCodesSurviveARoundTrip) {
  for (const std::uint32_t code : {0u, 15u, 99u, 4294967295u}) {
    const std::vector<core::SectionPayload> sections = {{core::section_kind_from_code(code), {1, 2, 3}},
                                                        {ModelSectionKind::NeutralizationMetadata, {4}}};
    const Bytes bytes = core::serialize_model_artifact_v1(small_metadata(), sections);
    const core::ParsedModelArtifactV1 parsed = core::deserialize_model_artifact_v1(bytes);
    std::vector<core::SectionPayload> reread;
    for (const auto& section : parsed.sections) reread.emplace_back(section.kind, section.payload);
    EXPECT_EQ(core::section_kind_code(reread[0].first), code);
    EXPECT_EQ(core::section_kind_name(reread[0].first), "Unknown(" + std::to_string(code) + ")");
    EXPECT_EQ(core::serialize_model_artifact_v1(parsed.contract.metadata, reread), bytes) << code;
  }
}

TEST(ArtifactContainer, TrailingBytesAreIgnoredAndSectionlessArtifactsParse) {
  Bytes bytes = golden_artifact();
  bytes.insert(bytes.end(), {1, 2, 3, 4});
  EXPECT_EQ(core::deserialize_model_artifact_v1(bytes).sections.size(), 2u);

  Bytes sectionless = {'K', 'S', 'T', 'R', 1, 0, 0, 0, 0, 0, 0, 0, 78, 0, 0, 0};
  sectionless.insert(sectionless.end(), kSmallJson.begin(), kSmallJson.end());
  const core::ParsedModelArtifactV1 parsed = core::deserialize_model_artifact_v1(sectionless);
  EXPECT_TRUE(parsed.sections.empty());
  const core::RequiredSectionReport report = core::required_section_compatibility_report(parsed.sections);
  EXPECT_EQ(report.trees, 0u);
  EXPECT_FALSE(report.strict_compatible || report.legacy_trees_only || report.legacy_compatible);
}

struct CorruptCase {
  const char* name;
  std::function<void(Bytes&)> mutate;
  CoreErrorKind kind;
  std::string message;
};

TEST(ArtifactContainer, ReaderReportsTheFirstBrokenRule) {
  // The golden artifact: descriptor table at 16 (entries at 16 and 36), JSON at 56, payloads at 134.
  const std::vector<CorruptCase> cases = {
      {"15 bytes", [](Bytes& b) { b.resize(15); }, kSer, "artifact too small to contain model header"},
      {"magic", [](Bytes& b) { b[3] = 'S'; }, kSer, "model header magic mismatch"},
      {"header version before table",
       [](Bytes& b) {
         put_u32_at(b, 4, 2);
         put_u32_at(b, 8, 1000);
       },
       kSer, "unsupported format_version 2, expected 1"},
      {"table past the end", [](Bytes& b) { put_u32_at(b, 8, 7); }, kSer,
       "artifact truncated in section descriptor table"},
      {"huge section count", [](Bytes& b) { put_u32_at(b, 8, 0xFFFFFFFF); }, kSer,
       "artifact truncated in section descriptor table"},
      {"metadata past the end",
       [](Bytes& b) {
         b.resize(16);
         put_u32_at(b, 8, 0);
         put_u32_at(b, 12, 10);
       },
       kSer, "artifact truncated in metadata payload"},
      {"huge metadata length", [](Bytes& b) { put_u32_at(b, 12, 0xFFFFFFFF); }, kSer,
       "artifact truncated in metadata payload"},
      {"metadata ends inside a character", [](Bytes& b) { b[56 + 77] = 0xE2; }, kSer,
       "metadata json is not valid UTF-8: incomplete utf-8 byte sequence from index 77"},
      {"metadata json error", [](Bytes& b) { b[56 + 77] = ']'; }, kSer, "expected literal '}' at index 77"},
      {"metadata device", [](Bytes& b) { b[56 + 57] = 'g'; }, CoreErrorKind::Validation,
       "unsupported trained_device 'gpu'"},
      {"metadata version", [](Bytes& b) { b[56 + 18] = '2'; }, kSer, "metadata format_version 2, expected 1"},
      {"zero length", [](Bytes& b) { put_u64_at(b, 16 + 12, 0); }, kSer, "section length must be greater than 0"},
      {"offset before payloads", [](Bytes& b) { put_u64_at(b, 16 + 4, 133); }, kSer,
       "section offset 133 precedes payload start 134"},
      {"offset gap", [](Bytes& b) { put_u64_at(b, 16 + 4, 135); }, kSer,
       "section offsets must be contiguous and ordered (expected 134, found 135)"},
      {"length overflows", [](Bytes& b) { put_u64_at(b, 16 + 12, std::numeric_limits<std::uint64_t>::max()); }, kSer,
       "section offset overflow"},
      {"huge length", [](Bytes& b) { put_u64_at(b, 36 + 12, std::uint64_t{1} << 62); }, kSer,
       "artifact truncated in section payload"},
      {"payload cut short", [](Bytes& b) { b.pop_back(); }, kSer, "artifact truncated in section payload"},
  };
  for (const CorruptCase& c : cases) {
    Bytes bytes = golden_artifact();
    c.mutate(bytes);
    EXPECT_TRUE(throws_core_error([&] { core::deserialize_model_artifact_v1(bytes); }, c.kind, c.message)) << c.name;
  }
}

TEST(ArtifactContainer, ContractCheckRules) {
  const auto valid = [] {
    core::ModelIoContractV1 contract;
    contract.metadata = small_metadata();
    contract.section_count = 2;
    contract.metadata_len = 10;
    contract.descriptors = {{ModelSectionKind::Trees, 66, 4}, {ModelSectionKind::PredictorLayout, 70, 12}};
    return contract;
  };
  EXPECT_NO_THROW(core::validate_model_contract_v1(valid()));
  // The reader meets the other rules through the corrupted artifacts above; these two it cannot.
  const std::vector<std::pair<std::function<void(core::ModelIoContractV1&)>, std::string>> cases = {
      {[](auto& c) { c.magic = {'K', 'S', 'T', 'X'}; }, "model contract magic mismatch"},
      {[](auto& c) { c.section_count = 3; }, "section table length 2 does not match header section_count 3"},
  };
  for (const auto& [mutate, message] : cases) {
    core::ModelIoContractV1 contract = valid();
    mutate(contract);
    EXPECT_TRUE(throws_core_error([&] { core::validate_model_contract_v1(contract); }, kSer, message)) << message;
  }
}

TEST(ArtifactContainer, WriterRefusesWhatTheReaderWouldReject) {
  const auto write = [](core::ModelMetadata metadata, std::vector<core::SectionPayload> sections) {
    return [metadata = std::move(metadata), sections = std::move(sections)] {
      core::serialize_model_artifact_v1(metadata, sections);
    };
  };
  core::ModelMetadata version_two = small_metadata();
  version_two.format_version = 2;
  core::ModelMetadata bad_name = small_metadata();
  bad_name.feature_names = {"ok", std::string("bad\xC3", 4)};
  EXPECT_TRUE(throws_core_error(write(small_metadata(), {}), kSer, "model artifact requires at least one section"));
  EXPECT_TRUE(throws_core_error(write(small_metadata(), {{ModelSectionKind::Trees, {1}}, {ModelSectionKind::ShapAux, {}}}),
                                kSer, "section payload cannot be empty"));
  EXPECT_TRUE(throws_core_error(write(version_two, golden_sections()), kSer, "metadata format_version 2, expected 1"));
  EXPECT_TRUE(throws_core_error(write(bad_name, golden_sections()), kSer,
                                "metadata json is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 46"));
}

TEST(ArtifactContainer, RequiredSectionPolicy) {
  using K = ModelSectionKind;
  struct Case {
    std::vector<K> kinds;
    std::size_t trees, layouts;
    bool strict, legacy_only, legacy;
  };
  const std::vector<Case> cases = {
      {{}, 0, 0, false, false, false},
      {{K::Trees, K::PredictorLayout}, 1, 1, true, false, true},
      {{K::PredictorLayout, K::ShapAux, K::Trees}, 1, 1, true, false, true},
      {{K::Trees}, 1, 0, false, true, true},
      {{K::Trees, K::CategoricalState}, 1, 0, false, false, false},
      {{K::Trees, K::Trees, K::PredictorLayout}, 2, 1, false, false, false},
      {{K::Trees, K::PredictorLayout, K::PredictorLayout}, 1, 2, false, false, false},
      {{K::MultiClassTrees, K::PredictorLayout}, 0, 1, false, false, false},
  };
  for (const Case& c : cases) {
    std::vector<core::ModelArtifactSection> sections;
    for (const K kind : c.kinds) sections.push_back(section_of(kind));
    const core::RequiredSectionReport report = core::required_section_compatibility_report(sections);
    EXPECT_EQ(report.trees, c.trees);
    EXPECT_EQ(report.predictor_layouts, c.layouts);
    EXPECT_EQ(report.strict_compatible, c.strict);
    EXPECT_EQ(report.legacy_trees_only, c.legacy_only);
    EXPECT_EQ(report.legacy_compatible, c.legacy);
  }
  const core::RequiredSectionReport report{2, 0, false, false, false};
  EXPECT_EQ(core::format_required_section_mode_error(report, core::RequiredSectionMode::Strict),
            "strict compatibility mode requires exactly one Trees and one PredictorLayout section "
            "(found Trees=2, PredictorLayout=0)");
  EXPECT_EQ(core::format_required_section_mode_error(report, core::RequiredSectionMode::LegacyCompatible),
            "legacy-compatible mode only supports strict dual-section artifacts or legacy Trees-only artifacts "
            "(found Trees=2, PredictorLayout=0)");
}

TEST(ArtifactContainer, OptionalSectionFinderRejectsDuplicatesBeforeDecoding) {
  const std::vector<core::ModelArtifactSection> sections = {
      section_of(ModelSectionKind::Trees), section_of(ModelSectionKind::DroMetadata, {1}),
      section_of(core::section_kind_from_code(77), {2}), section_of(ModelSectionKind::DroMetadata, {3})};
  EXPECT_EQ(core::find_optional_section(sections, ModelSectionKind::MorphMetadata), nullptr);
  EXPECT_EQ(core::find_optional_section(sections, core::section_kind_from_code(77))->payload, Bytes{2});
  EXPECT_TRUE(throws_core_error([&] { core::find_optional_section(sections, ModelSectionKind::DroMetadata); }, kSer,
                                "model artifact contains duplicate DroMetadata sections"));
}

}  // namespace
}  // namespace kestrune

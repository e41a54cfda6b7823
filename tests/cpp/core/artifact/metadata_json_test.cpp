#include "core/artifact/metadata_json.hpp"

#include <gtest/gtest.h>

#include <string>

#include "../expect_core_error.hpp"

namespace kestrune {
namespace {

using core::CoreErrorKind;
using core::ModelMetadata;
using testing_support::throws_core_error;

ModelMetadata metadata_with(std::vector<std::string> names, std::string objective,
                            std::optional<std::uint32_t> classes = std::nullopt) {
  ModelMetadata metadata;
  metadata.feature_names = std::move(names);
  metadata.objective = std::move(objective);
  metadata.num_classes = classes;
  return metadata;
}

// The container's golden artifact pins the layout without a class count.
TEST(ArtifactMetadataJson, WriterAppendsTheClassCountLast) {
  EXPECT_EQ(core::serialize_metadata_json(metadata_with({}, "multiclass_softmax", 3)),
            R"({"format_version":1,"feature_names":[],"trained_device":"cpu","objective":"multiclass_softmax","num_classes":3})");
}

TEST(ArtifactMetadataJson, EscapesExactlyFiveCharacters) {
  EXPECT_EQ(core::escape_json_string("a\\b\"c\nd\re\tf"), "a\\\\b\\\"c\\nd\\re\\tf");
  const std::string raw = std::string("\x01/\b\f\x7f") + "\xC3\xA9";
  EXPECT_EQ(core::escape_json_string(raw), raw);
}

TEST(ArtifactMetadataJson, NamesRoundTripThroughWriterAndReader) {
  const ModelMetadata metadata = metadata_with(
      {std::string("ctl\x01", 4), "quote\"back\\slash", "line\nfeed\rret", "caf\xC3\xA9", "", "two  spaces"},
      "rank_ndcg", 7);
  EXPECT_EQ(core::deserialize_metadata_json(core::serialize_metadata_json(metadata)), metadata);
}

TEST(ArtifactMetadataJson, ReaderToleratesWhitespaceBetweenTokensOnly) {
  const std::string pretty =
      "{\n  \"format_version\" : 1,\n  \"feature_names\" : [ \"a b\" ,\t\"c\" ],\r\n"
      "\xC2\xA0\"trained_device\":\xE3\x80\x80\"cpu\",\xE2\x80\xA8\"objective\": \"x y\"\xC2\x85}\n";
  const ModelMetadata metadata = core::deserialize_metadata_json(pretty);
  EXPECT_EQ(metadata.feature_names, (std::vector<std::string>{"a b", "c"}));
  EXPECT_EQ(metadata.objective, "x y");
}

TEST(ArtifactMetadataJson, ObjectiveAndClassCountAreOptionalTogether) {
  const ModelMetadata bare =
      core::deserialize_metadata_json(R"({"format_version":007,"feature_names":[],"trained_device":"cpu"})");
  EXPECT_EQ(bare.format_version, 7u);  // leading zeros read; the contract check rejects the value
  EXPECT_EQ(bare.objective, "squared_error");
  EXPECT_FALSE(bare.num_classes.has_value());

  const ModelMetadata classes = core::deserialize_metadata_json(
      R"({"format_version":1,"feature_names":["f0"],"trained_device":"cpu","objective":"softmax","num_classes":4294967295})");
  EXPECT_EQ(classes.num_classes, std::optional<std::uint32_t>(4294967295u));
}

TEST(ArtifactMetadataJson, ReaderRejectsWithPositionalMessages) {
  const std::string head = R"({"format_version":1,"feature_names":[],"trained_device":"cpu")";  // 61 bytes
  const std::vector<std::pair<std::string, std::string>> cases = {  // text, message
      {"", "expected literal '{\"format_version\":' at index 0"},
      {R"({"version":1})", "expected literal '{\"format_version\":' at index 0"},
      {R"({"format_version":-1})", "expected unsigned integer at index 18"},
      {R"({"format_version":4294967296,"feature_names":[]})", "invalid integer: number too large to fit in target type"},
      {R"({"format_version":1,"feature_names":{}})", "expected literal '[' at index 36"},
      {R"({"format_version":1,"feature_names":["a",],"trained_device":"cpu"})", "expected quoted string at index 41"},
      {R"({"format_version":1,"feature_names":["a")", "expected ',' or ']' at index 40"},
      {R"({"format_version":1,"feature_names":["a\u0041"],"trained_device":"cpu"})", "unsupported escape sequence '\\u'"},
      {"{\"format_version\":1,\"feature_names\":[\"\\\xC3\xA9\"]}", "unsupported escape sequence '\\\xC3\xA9'"},
      {R"({"format_version":1,"feature_names":["a)", "metadata json has unterminated string"},
      {R"({"format_version":1,"feature_names":["a\)", "metadata json has unterminated string"},
      {R"({"format_version":1,"feature_names":[],"trained_device":cpu})", "expected quoted string at index 56"},
      {head + R"(,"num_classes":3,"objective":"x"})", "expected literal ',\"objective\":' at index 61"},
      {head + R"(,"objective":"x","extra":1})", "expected literal ',\"num_classes\":' at index 77"},
      {head + R"(,"objective":"x","num_classes":"3"})", "expected unsigned integer at index 92"},
      {head, "expected literal '}' at index 61"},
      {head + "}x", "unexpected trailing content in metadata json"},
  };
  for (const auto& [text, message] : cases) {
    EXPECT_TRUE(throws_core_error([&] { core::deserialize_metadata_json(text); }, CoreErrorKind::Serialization, message));
  }
}

}  // namespace
}  // namespace kestrune

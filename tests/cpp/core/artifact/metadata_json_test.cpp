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

TEST(ArtifactMetadataJson, WriterUsesFixedKeyOrderWithoutWhitespace) {
  const std::string text = core::serialize_metadata_json(metadata_with({"a", "b"}, "squared_error"));
  EXPECT_EQ(text,
            R"({"format_version":1,"feature_names":["a","b"],"trained_device":"cpu","objective":"squared_error"})");
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
      {"tab\there", std::string("ctl\x01", 4), "quote\"back\\slash", "line\nfeed\rret", "caf\xC3\xA9", "", "two  spaces"},
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

struct BadJsonCase {
  const char* name;
  std::string text;
  CoreErrorKind kind;
  std::string message;
};

TEST(ArtifactMetadataJson, ReaderRejectsWithPositionalMessages) {
  const std::string head = R"({"format_version":1,"feature_names":[],"trained_device":"cpu")";  // 61 bytes
  const CoreErrorKind ser = CoreErrorKind::Serialization;
  const std::vector<BadJsonCase> cases = {
      {"empty text", "", ser, "expected literal '{\"format_version\":' at index 0"},
      {"other first key", R"({"version":1})", ser, "expected literal '{\"format_version\":' at index 0"},
      {"signed version", R"({"format_version":-1})", ser, "expected unsigned integer at index 18"},
      {"version past u32", R"({"format_version":4294967296,"feature_names":[]})", ser,
       "invalid integer: number too large to fit in target type"},
      {"names not a list", R"({"format_version":1,"feature_names":{}})", ser, "expected literal '[' at index 36"},
      {"trailing comma in names", R"({"format_version":1,"feature_names":["a",],"trained_device":"cpu"})", ser,
       "expected quoted string at index 41"},
      {"names list never closed", R"({"format_version":1,"feature_names":["a")", ser,
       "expected ',' or ']' at index 40"},
      {"unicode escape", R"({"format_version":1,"feature_names":["a\u0041"],"trained_device":"cpu"})", ser,
       "unsupported escape sequence '\\u'"},
      {"non-ascii escape", "{\"format_version\":1,\"feature_names\":[\"\\\xC3\xA9\"]}", ser,
       "unsupported escape sequence '\\\xC3\xA9'"},
      {"unterminated string", R"({"format_version":1,"feature_names":["a)", ser,
       "metadata json has unterminated string"},
      {"dangling escape", R"({"format_version":1,"feature_names":["a\)", ser, "metadata json has unterminated string"},
      {"device not a string", R"({"format_version":1,"feature_names":[],"trained_device":cpu})", ser,
       "expected quoted string at index 56"},
      {"class count before objective", head + R"(,"num_classes":3,"objective":"x"})", ser,
       "expected literal ',\"objective\":' at index 61"},
      {"additional key", head + R"(,"objective":"x","extra":1})", ser,
       "expected literal ',\"num_classes\":' at index 77"},
      {"class count not a number", head + R"(,"objective":"x","num_classes":"3"})", ser,
       "expected unsigned integer at index 92"},
      {"missing closing brace", head, ser, "expected literal '}' at index 61"},
      {"trailing content", head + "}x", ser, "unexpected trailing content in metadata json"},
  };
  for (const BadJsonCase& c : cases) {
    EXPECT_TRUE(throws_core_error([&] { core::deserialize_metadata_json(c.text); }, c.kind, c.message)) << c.name;
  }
}

TEST(ArtifactMetadataJson, TextRoutinesReportIndexes) {
  EXPECT_EQ(core::consume_literal("abc", 1, "bc"), 3u);
  EXPECT_TRUE(throws_core_error([] { core::consume_literal("abc", 3, "c"); }, CoreErrorKind::Serialization,
                                "expected literal 'c' at index 3"));
  EXPECT_EQ(core::parse_quoted_string(R"(x"a\tb"y)", 1), std::make_pair(std::string("a\tb"), std::size_t{7}));
  EXPECT_TRUE(throws_core_error([] { core::parse_quoted_string("\"abc\\", 0); }, CoreErrorKind::Serialization,
                                "unterminated quoted string"));
  EXPECT_TRUE(throws_core_error([] { core::parse_quoted_string("ab", 2); }, CoreErrorKind::Serialization,
                                "expected quoted string at index 2"));
  EXPECT_EQ(core::parse_u32("x0004294967295y", 1), std::make_pair(std::uint32_t{4294967295u}, std::size_t{14}));
  EXPECT_TRUE(throws_core_error([] { core::parse_u32("+1", 0); }, CoreErrorKind::Serialization,
                                "expected unsigned integer at index 0"));
}

}  // namespace
}  // namespace kestrune

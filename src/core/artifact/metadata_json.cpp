#include "core/artifact/metadata_json.hpp"

#include <limits>
#include <tuple>

#include "core/error.hpp"

namespace kestrune::core {
namespace {

constexpr std::string_view kDefaultObjective = "squared_error";

std::string at_index(std::size_t index) { return " at index " + std::to_string(index); }

// Byte length of the Unicode White_Space character starting at `i`, or 0 when there is none.
std::size_t whitespace_length(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) -> unsigned {
    return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0x100u;
  };
  const unsigned b0 = byte(0);
  if ((b0 >= 0x09 && b0 <= 0x0D) || b0 == 0x20) return 1;
  if (b0 == 0xC2 && (byte(1) == 0x85 || byte(1) == 0xA0)) return 2;  // U+0085, U+00A0
  if (b0 == 0xE1 && byte(1) == 0x9A && byte(2) == 0x80) return 3;    // U+1680
  if (b0 == 0xE2 && byte(1) == 0x80) {
    const unsigned b2 = byte(2);
    // U+2000..U+200A, U+2028, U+2029, U+202F
    if ((b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF) return 3;
  }
  if (b0 == 0xE2 && byte(1) == 0x81 && byte(2) == 0x9F) return 3;  // U+205F
  if (b0 == 0xE3 && byte(1) == 0x80 && byte(2) == 0x80) return 3;  // U+3000
  return 0;
}

// Drops white space outside strings, so that pretty-printed text reads like the compact form.
std::string compact_metadata_json(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool in_string = false;
  bool escaped = false;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (!in_string) {
      const std::size_t skip = whitespace_length(text, i);
      if (skip > 0) {
        i += skip;
        continue;
      }
      out.push_back(c);
      if (c == '"') in_string = true;
    } else {
      out.push_back(c);
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
    }
    ++i;
  }
  if (in_string || escaped) throw CoreError::serialization("metadata json has unterminated string");
  return out;
}

// Byte length of the UTF-8 character whose lead byte is `lead` (1 for stray bytes).
std::size_t utf8_char_length(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

bool next_is(std::string_view text, std::size_t index, char c) { return index < text.size() && text[index] == c; }

}  // namespace

std::string escape_json_string(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string serialize_metadata_json(const ModelMetadata& metadata) {
  std::string out = "{\"format_version\":";
  out += std::to_string(metadata.format_version);
  out += ",\"feature_names\":[";
  for (std::size_t i = 0; i < metadata.feature_names.size(); ++i) {
    if (i > 0) out.push_back(',');
    out.push_back('"');
    out += escape_json_string(metadata.feature_names[i]);
    out.push_back('"');
  }
  out += "],\"trained_device\":\"";
  out += device_metadata_label(metadata.trained_device);
  out += "\",\"objective\":\"";
  out += escape_json_string(metadata.objective);
  out.push_back('"');
  if (metadata.num_classes) {
    out += ",\"num_classes\":";
    out += std::to_string(*metadata.num_classes);
  }
  out.push_back('}');
  return out;
}

std::size_t consume_literal(std::string_view text, std::size_t index, std::string_view literal) {
  if (index > text.size() || !text.substr(index).starts_with(literal)) {
    throw CoreError::serialization("expected literal '" + std::string(literal) + "'" + at_index(index));
  }
  return index + literal.size();
}

std::pair<std::string, std::size_t> parse_quoted_string(std::string_view text, std::size_t index) {
  if (!next_is(text, index, '"')) throw CoreError::serialization("expected quoted string" + at_index(index));
  std::string out;
  std::size_t i = index + 1;
  while (true) {
    if (i >= text.size()) throw CoreError::serialization("unterminated quoted string");
    const char c = text[i];
    if (c == '"') return {std::move(out), i + 1};
    if (c != '\\') {
      out.push_back(c);
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) throw CoreError::serialization("unterminated quoted string");
    const char e = text[i + 1];
    switch (e) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      default: {
        const std::size_t len = utf8_char_length(static_cast<unsigned char>(e));
        const std::string shown(text.substr(i + 1, len));
        throw CoreError::serialization("unsupported escape sequence '\\" + shown + "'");
      }
    }
    i += 2;
  }
}

std::pair<std::uint32_t, std::size_t> parse_u32(std::string_view text, std::size_t index) {
  std::size_t end = index;
  std::uint64_t value = 0;
  bool too_large = false;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
    if (!too_large) {
      value = value * 10 + static_cast<std::uint64_t>(text[end] - '0');
      too_large = value > std::numeric_limits<std::uint32_t>::max();
    }
    ++end;
  }
  if (end == index) throw CoreError::serialization("expected unsigned integer" + at_index(index));
  if (too_large) throw CoreError::serialization("invalid integer: number too large to fit in target type");
  return {static_cast<std::uint32_t>(value), end};
}

ModelMetadata deserialize_metadata_json(std::string_view raw_text) {
  const std::string compacted = compact_metadata_json(raw_text);
  const std::string_view text = compacted;
  ModelMetadata metadata;

  std::size_t index = consume_literal(text, 0, "{\"format_version\":");
  std::tie(metadata.format_version, index) = parse_u32(text, index);

  index = consume_literal(text, index, ",\"feature_names\":");
  index = consume_literal(text, index, "[");
  if (next_is(text, index, ']')) {
    ++index;
  } else {
    while (true) {
      std::string name;
      std::tie(name, index) = parse_quoted_string(text, index);
      metadata.feature_names.push_back(std::move(name));
      if (next_is(text, index, ',')) {
        ++index;
      } else if (next_is(text, index, ']')) {
        ++index;
        break;
      } else {
        throw CoreError::serialization("expected ',' or ']'" + at_index(index));
      }
    }
  }

  index = consume_literal(text, index, ",\"trained_device\":");
  std::string device_label;
  std::tie(device_label, index) = parse_quoted_string(text, index);

  if (next_is(text, index, ',')) {
    index = consume_literal(text, index, ",\"objective\":");
    std::tie(metadata.objective, index) = parse_quoted_string(text, index);
  } else {
    metadata.objective = std::string(kDefaultObjective);
  }
  if (next_is(text, index, ',')) {
    index = consume_literal(text, index, ",\"num_classes\":");
    std::uint32_t classes = 0;
    std::tie(classes, index) = parse_u32(text, index);
    metadata.num_classes = classes;
  }
  index = consume_literal(text, index, "}");
  if (index != text.size()) throw CoreError::serialization("unexpected trailing content in metadata json");

  metadata.trained_device = parse_device_metadata_label(device_label);
  return metadata;
}

}  // namespace kestrune::core

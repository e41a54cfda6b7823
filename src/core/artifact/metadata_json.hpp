// The model metadata record and its one-line JSON text. The text has a fixed key order and is
// read back by a positional reader, not a general JSON parser: keys other than the five below
// are never tolerated, and `objective` may be omitted only together with `num_classes`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/device.hpp"

namespace kestrune::core {

struct ModelMetadata {
  std::vector<std::string> feature_names;  // one per feature, in feature order
  std::string objective;
  std::optional<std::uint32_t> num_classes;  // present for multiclass models
  std::uint32_t format_version = 1;
  Device trained_device = Device::Cpu;

  friend bool operator==(const ModelMetadata&, const ModelMetadata&) = default;
};

// {"format_version":1,"feature_names":["a","b"],"trained_device":"cpu","objective":"..."}
// with ,"num_classes":K before the closing brace when present. No white space anywhere.
std::string serialize_metadata_json(const ModelMetadata& metadata);

// Reads a text in the writer's layout; white space between tokens is tolerated. Failures are
// CoreError::Serialization, except an unknown device label (CoreError::Validation).
ModelMetadata deserialize_metadata_json(std::string_view text);

// Escapes backslash, double quote, line feed, carriage return and tab; everything else,
// including other control characters and non-ASCII text, is copied unchanged.
std::string escape_json_string(std::string_view text);

// Positional text routines of the reader; each index is a byte offset into `text`.
// The index just after `literal`, or "expected literal '{}' at index {}".
std::size_t consume_literal(std::string_view text, std::size_t index, std::string_view literal);
// The unescaped string starting with a double quote at `index`, and the index after its
// closing quote.
std::pair<std::string, std::size_t> parse_quoted_string(std::string_view text, std::size_t index);
// The longest run of ASCII digits at `index` as a u32, and the index after it.
std::pair<std::uint32_t, std::size_t> parse_u32(std::string_view text, std::size_t index);

}  // namespace kestrune::core

// Small helpers for the section payload tests: byte builders and a table runner.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "../expect_core_error.hpp"
#include "support/bytes.hpp"

namespace kestrune::artifact_testing {

using testing_support::throws_core_error;
using testing_support::throws_validation;

using Bytes = std::vector<std::uint8_t>;

// Builds a payload field by field: bytes_of(u32(1), f32(0.5f), u8(0)).
struct Field {
  std::function<void(support::ByteWriter&)> put;
};
inline Field u8(std::uint8_t v) { return {[v](support::ByteWriter& w) { w.put_u8(v); }}; }
inline Field u16(std::uint16_t v) { return {[v](support::ByteWriter& w) { w.put_u16(v); }}; }
inline Field u32(std::uint32_t v) { return {[v](support::ByteWriter& w) { w.put_u32(v); }}; }
inline Field f32(float v) { return {[v](support::ByteWriter& w) { w.put_f32(v); }}; }
inline Field raw(Bytes v) { return {[v = std::move(v)](support::ByteWriter& w) { w.put_bytes(v); }}; }

template <typename... Fields>
Bytes bytes_of(Fields... fields) {
  support::ByteWriter writer;
  (fields.put(writer), ...);
  return writer.take();
}

struct BadPayload {
  const char* name;
  Bytes payload;
  std::string message;
};

// Every payload must fail `decode` with a CoreError of `kind` and exactly its message.
template <typename Decode>
void expect_decode_failures(Decode decode, core::CoreErrorKind kind, const std::vector<BadPayload>& cases) {
  for (const BadPayload& c : cases) {
    EXPECT_TRUE(throws_core_error([&] { decode(c.payload); }, kind, c.message)) << c.name;
  }
}

inline Bytes with_tail(Bytes bytes, std::size_t extra) {
  bytes.resize(bytes.size() + extra, 0x5A);
  return bytes;
}

}  // namespace kestrune::artifact_testing

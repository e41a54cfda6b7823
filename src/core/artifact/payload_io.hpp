// Fixed-offset reads for payload decoders that have already checked the payload length. A read
// that still runs past the end is a bug in that check, so it panics instead of reading garbage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "support/bytes.hpp"
#include "support/panic.hpp"

namespace kestrune::core::payload_io {

template <typename T>
T checked(std::optional<T> value) {
  support::invariant(value.has_value(), "payload read past a length-checked end");
  return *value;
}

inline std::uint16_t u16_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return checked(support::read_u16_le(bytes, offset));
}
inline std::uint32_t u32_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return checked(support::read_u32_le(bytes, offset));
}
inline std::uint64_t u64_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return checked(support::read_u64_le(bytes, offset));
}
inline float f32_at(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return checked(support::read_f32_le(bytes, offset));
}

// 64-bit size of `count` records of `width` bytes after a header; a u32 count times a small
// width cannot overflow 64 bits.
constexpr std::uint64_t records_length(std::uint64_t header, std::uint64_t count, std::uint64_t width) {
  return header + count * width;
}

}  // namespace kestrune::core::payload_io

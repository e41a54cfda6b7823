// Little-endian byte codecs for artifacts: a growing writer and a bounds-checked reader.
// Floats travel by bit pattern, so NaN payloads and negative zero survive a round trip.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "support/panic.hpp"

namespace kestrune::support {

namespace detail {

template <typename U>
void append_le(std::vector<std::uint8_t>& out, U value) {
  for (std::size_t k = 0; k < sizeof(U); ++k) out.push_back(static_cast<std::uint8_t>(value >> (8 * k)));
}

template <typename U>
U load_le(const std::uint8_t* data) {
  U value = 0;
  for (std::size_t k = 0; k < sizeof(U); ++k) value |= static_cast<U>(static_cast<U>(data[k]) << (8 * k));
  return value;
}

// The `width` bytes at `offset`, or nothing when they do not all lie inside `data`. Written so
// that offset + width cannot overflow.
inline std::optional<const std::uint8_t*> window(std::span<const std::uint8_t> data, std::size_t offset,
                                                 std::size_t width) {
  if (offset > data.size() || data.size() - offset < width) return std::nullopt;
  return data.data() + offset;
}

template <typename U>
std::optional<U> read_le(std::span<const std::uint8_t> data, std::size_t offset) {
  const auto start = window(data, offset, sizeof(U));
  if (!start) return std::nullopt;
  return load_le<U>(*start);
}

}  // namespace detail

class ByteWriter {
 public:
  void put_u8(std::uint8_t value) { bytes_.push_back(value); }
  void put_u16(std::uint16_t value) { detail::append_le(bytes_, value); }
  void put_u32(std::uint32_t value) { detail::append_le(bytes_, value); }
  void put_u64(std::uint64_t value) { detail::append_le(bytes_, value); }
  void put_i32(std::int32_t value) { put_u32(static_cast<std::uint32_t>(value)); }
  void put_i64(std::int64_t value) { put_u64(static_cast<std::uint64_t>(value)); }
  void put_f32(float value) { put_u32(std::bit_cast<std::uint32_t>(value)); }
  void put_f64(double value) { put_u64(std::bit_cast<std::uint64_t>(value)); }
  void put_bytes(std::span<const std::uint8_t> data) { bytes_.insert(bytes_.end(), data.begin(), data.end()); }

  // Overwrites four already written bytes, e.g. a length field reserved before its payload.
  void patch_u32(std::size_t offset, std::uint32_t value) {
    if (offset > bytes_.size() || bytes_.size() - offset < 4) {
      panic("patch_u32 at offset " + std::to_string(offset) + " is outside the " + std::to_string(bytes_.size()) +
            " written bytes");
    }
    for (std::size_t k = 0; k < 4; ++k) bytes_[offset + k] = static_cast<std::uint8_t>(value >> (8 * k));
  }

  std::size_t size() const { return bytes_.size(); }
  std::vector<std::uint8_t>& bytes() { return bytes_; }
  std::vector<std::uint8_t> take() { return std::exchange(bytes_, {}); }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Reads from a borrowed buffer. A read that would pass the end returns nothing and leaves the
// position where it was; callers turn that into their own error.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> data) : data_(data) {}

  std::optional<std::uint8_t> u8() { return next<std::uint8_t>(); }
  std::optional<std::uint16_t> u16() { return next<std::uint16_t>(); }
  std::optional<std::uint32_t> u32() { return next<std::uint32_t>(); }
  std::optional<std::uint64_t> u64() { return next<std::uint64_t>(); }
  std::optional<std::int32_t> i32() { return as<std::int32_t>(u32()); }
  std::optional<std::int64_t> i64() { return as<std::int64_t>(u64()); }
  std::optional<float> f32() { return bits_as<float>(u32()); }
  std::optional<double> f64() { return bits_as<double>(u64()); }

  std::optional<std::span<const std::uint8_t>> bytes(std::size_t n) {
    if (!detail::window(data_, position_, n)) return std::nullopt;
    const auto out = data_.subspan(position_, n);
    position_ += n;
    return out;
  }

  std::size_t position() const { return position_; }
  std::size_t remaining() const { return data_.size() - position_; }
  bool at_end() const { return position_ == data_.size(); }

  void seek(std::size_t position) {
    if (position > data_.size()) {
      panic("seek to " + std::to_string(position) + " beyond the end of a " + std::to_string(data_.size()) +
            "-byte buffer");
    }
    position_ = position;
  }

 private:
  template <typename U>
  std::optional<U> next() {
    const auto value = detail::read_le<U>(data_, position_);
    if (value) position_ += sizeof(U);
    return value;
  }
  template <typename S, typename U>
  static std::optional<S> as(std::optional<U> value) {
    if (!value) return std::nullopt;
    return static_cast<S>(*value);  // two's complement reinterpretation
  }
  template <typename F, typename U>
  static std::optional<F> bits_as(std::optional<U> value) {
    if (!value) return std::nullopt;
    return std::bit_cast<F>(*value);
  }

  std::span<const std::uint8_t> data_;
  std::size_t position_ = 0;
};

// Fixed-offset reads; nothing when the value does not lie wholly inside `data`.
inline std::optional<std::uint16_t> read_u16_le(std::span<const std::uint8_t> data, std::size_t offset) {
  return detail::read_le<std::uint16_t>(data, offset);
}
inline std::optional<std::uint32_t> read_u32_le(std::span<const std::uint8_t> data, std::size_t offset) {
  return detail::read_le<std::uint32_t>(data, offset);
}
inline std::optional<std::uint64_t> read_u64_le(std::span<const std::uint8_t> data, std::size_t offset) {
  return detail::read_le<std::uint64_t>(data, offset);
}
inline std::optional<float> read_f32_le(std::span<const std::uint8_t> data, std::size_t offset) {
  const auto bits = read_u32_le(data, offset);
  if (!bits) return std::nullopt;
  return std::bit_cast<float>(*bits);
}

}  // namespace kestrune::support

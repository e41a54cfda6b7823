#include "support/bytes.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace kestrune::support {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(SupportByteWriter, WritesLittleEndian) {
  ByteWriter writer;
  writer.put_u8(0xAB);
  writer.put_u16(0x0102);
  writer.put_u32(0x03040506);
  writer.put_u64(0x0708090A0B0C0D0Eull);
  writer.put_i32(-2);
  writer.put_i64(-1);
  writer.put_f32(1.0f);
  writer.put_f64(-2.0);
  const Bytes tail{9, 8};
  writer.put_bytes(tail);
  const Bytes expected{0xAB, 0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0x09, 0x08,
                       0x07, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00,
                       0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 9,    8};
  EXPECT_EQ(writer.size(), expected.size());
  EXPECT_EQ(writer.bytes(), expected);
  EXPECT_EQ(writer.take(), expected);
  EXPECT_EQ(writer.size(), 0u);
}

TEST(SupportByteWriter, PatchesInsideOnly) {
  ByteWriter writer;
  writer.put_u32(0);
  writer.put_u8(7);
  writer.patch_u32(1, 0xAABBCCDD);
  EXPECT_EQ(writer.bytes(), (Bytes{0x00, 0xDD, 0xCC, 0xBB, 0xAA}));
  EXPECT_THROW(writer.patch_u32(2, 1), Panic);
  EXPECT_THROW(writer.patch_u32(std::numeric_limits<std::size_t>::max() - 1, 1), Panic);
  EXPECT_EQ(writer.bytes(), (Bytes{0x00, 0xDD, 0xCC, 0xBB, 0xAA}));
}

TEST(SupportByteReader, RoundTripsEveryWidthAndFloatBits) {
  const float quiet_payload = std::bit_cast<float>(0x7FC00001u);
  const float signalling = std::bit_cast<float>(0xFF800001u);
  const double double_payload = std::bit_cast<double>(0x7FF0000000000123ull);
  ByteWriter writer;
  writer.put_u8(200);
  writer.put_u16(65535);
  writer.put_u32(4000000000u);
  writer.put_u64(std::numeric_limits<std::uint64_t>::max() - 5);
  writer.put_i32(std::numeric_limits<std::int32_t>::min());
  writer.put_i64(-1234567890123ll);
  writer.put_f32(-0.0f);
  writer.put_f32(quiet_payload);
  writer.put_f32(signalling);
  writer.put_f64(-0.0);
  writer.put_f64(double_payload);
  const Bytes data = writer.take();

  ByteReader reader(data);
  EXPECT_EQ(reader.u8(), 200);
  EXPECT_EQ(reader.u16(), 65535);
  EXPECT_EQ(reader.u32(), 4000000000u);
  EXPECT_EQ(reader.u64(), std::numeric_limits<std::uint64_t>::max() - 5);
  EXPECT_EQ(reader.i32(), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(reader.i64(), -1234567890123ll);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(*reader.f32()), 0x80000000u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(*reader.f32()), 0x7FC00001u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(*reader.f32()), 0xFF800001u);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(*reader.f64()), 0x8000000000000000ull);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(*reader.f64()), 0x7FF0000000000123ull);
  EXPECT_TRUE(reader.at_end());
  EXPECT_EQ(reader.remaining(), 0u);
}

TEST(SupportByteReader, ShortReadsFailWithoutMoving) {
  const Bytes data{1, 2, 3};
  ByteReader reader(data);
  EXPECT_EQ(reader.u32(), std::nullopt);
  EXPECT_EQ(reader.u64(), std::nullopt);
  EXPECT_EQ(reader.f32(), std::nullopt);
  EXPECT_EQ(reader.i64(), std::nullopt);
  EXPECT_EQ(reader.bytes(4), std::nullopt);
  EXPECT_EQ(reader.bytes(std::numeric_limits<std::size_t>::max()), std::nullopt);
  EXPECT_EQ(reader.position(), 0u);
  EXPECT_EQ(reader.u16(), 0x0201);
  EXPECT_EQ(reader.u16(), std::nullopt);
  EXPECT_EQ(reader.position(), 2u);
  EXPECT_EQ(reader.remaining(), 1u);
  const auto last = reader.bytes(1);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->size(), 1u);
  EXPECT_EQ((*last)[0], 3);
  EXPECT_EQ(reader.u8(), std::nullopt);
  ASSERT_TRUE(reader.bytes(0).has_value());
  EXPECT_TRUE(reader.at_end());
}

TEST(SupportByteReader, SeekWithinBoundsOnly) {
  const Bytes data{0x10, 0x20, 0x30};
  ByteReader reader(data);
  reader.seek(2);
  EXPECT_EQ(reader.u8(), 0x30);
  reader.seek(3);
  EXPECT_TRUE(reader.at_end());
  reader.seek(0);
  EXPECT_EQ(reader.u8(), 0x10);
  EXPECT_THROW(reader.seek(4), Panic);
  EXPECT_EQ(reader.position(), 1u);

  ByteReader empty(std::span<const std::uint8_t>{});
  EXPECT_TRUE(empty.at_end());
  EXPECT_EQ(empty.u8(), std::nullopt);
}

TEST(SupportReadLe, FixedOffsetsAreOverflowSafe) {
  const Bytes data{0x00, 0x00, 0x80, 0x3F, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x05};
  constexpr std::size_t max = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(read_f32_le(data, 0), 1.0f);
  EXPECT_EQ(read_u16_le(data, 4), 0x01FF);
  EXPECT_EQ(read_u32_le(data, 6), 0x05040302u);
  EXPECT_EQ(read_u64_le(data, 2), 0x0504030201FF3F80ull);
  EXPECT_EQ(read_u32_le(data, 7), std::nullopt);
  EXPECT_EQ(read_u64_le(data, 3), std::nullopt);
  EXPECT_EQ(read_u16_le(data, 10), std::nullopt);
  EXPECT_EQ(read_u16_le(data, 11), std::nullopt);
  EXPECT_EQ(read_u32_le(data, max), std::nullopt);
  EXPECT_EQ(read_u32_le(data, max - 2), std::nullopt);
  EXPECT_EQ(read_f32_le(data, max - 1), std::nullopt);
  EXPECT_EQ(read_u16_le(std::span<const std::uint8_t>{}, 0), std::nullopt);
}

}  // namespace
}  // namespace kestrune::support

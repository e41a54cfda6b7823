#include "support/bytes.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

namespace kestrune::support {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

TEST(SupportByteWriter, WritesLittleEndianAndReadsBackEveryBit) {
  // A signalling NaN with a payload and a negative zero must survive by bit pattern.
  const float signalling = std::bit_cast<float>(0xFF800001u);
  ByteWriter writer;
  writer.put_u8(0xAB);
  writer.put_u16(0x0102);
  writer.put_u32(0x03040506);
  writer.put_u64(0x0708090A0B0C0D0Eull);
  writer.put_i32(-2);
  writer.put_i64(std::numeric_limits<std::int64_t>::min());
  writer.put_f32(signalling);
  writer.put_f64(-0.0);
  writer.put_bytes(Bytes{9, 8});
  const Bytes expected{0xAB, 0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0x09, 0x08,
                       0x07, 0xFE, 0xFF, 0xFF, 0xFF, 0,    0,    0,    0,    0,    0,    0,    0x80, 0x01,
                       0x00, 0x80, 0xFF, 0,    0,    0,    0,    0,    0,    0,    0x80, 9,    8};
  EXPECT_EQ(writer.bytes(), expected);

  ByteReader reader(expected);
  EXPECT_EQ(reader.u8(), 0xAB);
  EXPECT_EQ(reader.u16(), 0x0102);
  EXPECT_EQ(reader.u32(), 0x03040506u);
  EXPECT_EQ(reader.u64(), 0x0708090A0B0C0D0Eull);
  EXPECT_EQ(reader.i32(), -2);
  EXPECT_EQ(reader.i64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(std::bit_cast<std::uint32_t>(*reader.f32()), 0xFF800001u);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(*reader.f64()), 0x8000000000000000ull);
  EXPECT_EQ(reader.bytes(2)->data(), expected.data() + expected.size() - 2);  // borrowed, not copied
  EXPECT_TRUE(reader.at_end());
  EXPECT_EQ(writer.take(), expected);
  EXPECT_EQ(writer.size(), 0u);
}

TEST(SupportByteWriter, PatchesInsideOnly) {
  ByteWriter writer;
  writer.put_u32(0);
  writer.put_u8(7);
  writer.patch_u32(1, 0xAABBCCDD);
  EXPECT_THROW(writer.patch_u32(2, 1), Panic);
  EXPECT_THROW(writer.patch_u32(kMax - 1, 1), Panic);
  EXPECT_EQ(writer.bytes(), (Bytes{0x00, 0xDD, 0xCC, 0xBB, 0xAA}));
}

TEST(SupportByteReader, ShortReadsAndSeeksFailWithoutMoving) {
  const Bytes data{1, 2, 3};
  ByteReader reader(data);
  EXPECT_EQ(reader.u32(), std::nullopt);
  EXPECT_EQ(reader.f32(), std::nullopt);
  EXPECT_EQ(reader.bytes(4), std::nullopt);
  EXPECT_EQ(reader.bytes(kMax), std::nullopt);
  EXPECT_EQ(reader.u16(), 0x0201);
  EXPECT_EQ(reader.u16(), std::nullopt);
  EXPECT_EQ(reader.position(), 2u);
  EXPECT_THROW(reader.seek(4), Panic);
  EXPECT_EQ(reader.remaining(), 1u);
  reader.seek(3);
  EXPECT_EQ(reader.u8(), std::nullopt);
  ASSERT_TRUE(reader.bytes(0).has_value());
  reader.seek(0);
  EXPECT_EQ(reader.u8(), 1);
  EXPECT_EQ(ByteReader(std::span<const std::uint8_t>{}).u8(), std::nullopt);
}

TEST(SupportReadLe, FixedOffsetsAreOverflowSafe) {
  const Bytes data{0x00, 0x00, 0x80, 0x3F, 0xFF, 0x01, 0x02, 0x03, 0x04, 0x05};
  EXPECT_EQ(read_f32_le(data, 0), 1.0f);
  EXPECT_EQ(read_u16_le(data, 4), 0x01FF);
  EXPECT_EQ(read_u32_le(data, 6), 0x05040302u);
  EXPECT_EQ(read_u64_le(data, 2), 0x0504030201FF3F80ull);
  EXPECT_EQ(read_u32_le(data, 7), std::nullopt);
  EXPECT_EQ(read_u16_le(data, 11), std::nullopt);
  EXPECT_EQ(read_u32_le(data, kMax - 2), std::nullopt);
  EXPECT_EQ(read_f32_le(data, kMax), std::nullopt);
}

}  // namespace
}  // namespace kestrune::support

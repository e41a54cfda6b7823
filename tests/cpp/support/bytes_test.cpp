#include "support/bytes.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

namespace kestrune::support {
namespace {

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

// Values round trip by bit pattern (a signalling NaN with a payload, a negative zero) in
// little-endian order; reads, seeks and patches past the end fail without moving, offsets near
// the largest size_t included.
TEST(SupportBytes, LittleEndianRoundTripAndBoundedAccess) {
  ByteWriter writer;
  writer.put_u16(0x0102);
  writer.put_u32(0);  // patched below
  writer.put_i64(std::numeric_limits<std::int64_t>::min());
  writer.put_f32(std::bit_cast<float>(0xFF800001u));
  writer.patch_u32(2, 0x03040506);
  EXPECT_THROW(writer.patch_u32(15, 1), Panic);
  EXPECT_THROW(writer.patch_u32(kMax - 1, 1), Panic);
  const std::vector<std::uint8_t> expected{0x02, 0x01, 0x06, 0x05, 0x04, 0x03, 0,    0,    0,
                                           0,    0,    0,    0,    0x80, 0x01, 0x00, 0x80, 0xFF};
  ASSERT_EQ(writer.bytes(), expected);
  ByteReader reader(expected);
  EXPECT_EQ(reader.u16(), 0x0102);
  EXPECT_EQ(reader.u32(), 0x03040506u);
  EXPECT_EQ(reader.i64(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(reader.u64(), std::nullopt);
  EXPECT_EQ(reader.bytes(kMax), std::nullopt);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(*reader.f32()), 0xFF800001u);
  EXPECT_TRUE(reader.at_end());
  EXPECT_THROW(reader.seek(19), Panic);
  reader.seek(14);
  EXPECT_EQ(reader.bytes(2)->data(), expected.data() + 14);  // borrowed, not copied
  EXPECT_EQ(read_u32_le(expected, 2), 0x03040506u);
  EXPECT_EQ(read_u64_le(expected, 6), 0x8000000000000000ull);
  EXPECT_EQ(read_f32_le(expected, 15), std::nullopt);
  EXPECT_EQ(read_u32_le(expected, kMax - 2), std::nullopt);
  EXPECT_EQ(read_u16_le(expected, kMax), std::nullopt);
}

}  // namespace
}  // namespace kestrune::support

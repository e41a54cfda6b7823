#include "support/unicode_trim.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

namespace kestrune::support {
namespace {

struct TrimCase {
  std::string input;
  std::string expected;
};

class SupportTrimUnicodeWhitespace : public ::testing::TestWithParam<TrimCase> {};

TEST_P(SupportTrimUnicodeWhitespace, StripsBothEnds) {
  EXPECT_EQ(trim_unicode_whitespace(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    SupportTable, SupportTrimUnicodeWhitespace,
    ::testing::Values(TrimCase{"", ""}, TrimCase{"   ", ""}, TrimCase{"\t\n\v\f\r a b \r\n", "a b"},
                      TrimCase{"\u00a0on\u3000", "on"}, TrimCase{"\u0085", ""},
                      TrimCase{"\u1680\u2028\u2029\u202f\u205f yes \u2009", "yes"},
                      // Not White_Space: zero-width space, BOM.
                      TrimCase{"\u200b1\u200b", "\u200b1\u200b"}, TrimCase{"\ufeff1", "\ufeff1"}, TrimCase{"1\ufeff", "1\ufeff"},
                      // Multi-byte characters at the ends are kept whole.
                      TrimCase{" caf\u00e9 ", "caf\u00e9"}, TrimCase{" \U0001f600 ", "\U0001f600"},
                      // Bytes that are not UTF-8 stop the trimming instead of being cut.
                      TrimCase{" \xa0 ", "\xa0"}, TrimCase{" \xc2", "\xc2"}, TrimCase{"\x85 x", "\x85 x"}));

TEST(SupportUnicodeWhitespace, ExactlyTheWhiteSpaceProperty) {
  std::set<std::uint32_t> white_space = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,  0x20, 0x85,
                                         0xA0,   0x1680, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
  for (std::uint32_t c = 0x2000; c <= 0x200A; ++c) white_space.insert(c);
  for (std::uint32_t c = 0; c <= 0x10FFFF; ++c) {
    ASSERT_EQ(is_unicode_whitespace(c), white_space.count(c) == 1) << std::hex << c;
  }
}

TEST(SupportAsciiLowercase, OnlyAsciiLetters) {
  EXPECT_EQ(ascii_lowercase("TrUe"), "true");
  EXPECT_EQ(ascii_lowercase("ON1 @[`{"), "on1 @[`{");
  EXPECT_EQ(ascii_lowercase("\u00c0B\u0130"), "\u00c0b\u0130");  // À and İ untouched
}

}  // namespace
}  // namespace kestrune::support

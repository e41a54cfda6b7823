#include "support/unicode_trim.hpp"

#include <gtest/gtest.h>

#include <cstdint>
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
    ::testing::Values(TrimCase{"", ""}, TrimCase{"   ", ""}, TrimCase{"  a b  ", "a b"},
                      TrimCase{"\t\n\v\f\r x \r\n", "x"}, TrimCase{"1", "1"},
                      // NBSP, ideographic space, NEL, the U+2000 block, line and paragraph separators.
                      TrimCase{"\u00a0on\u3000", "on"}, TrimCase{"\u0085", ""}, TrimCase{"\u00a0", ""},
                      TrimCase{"\u1680\u2000\u200a\u2028\u2029\u202f\u205f yes \u2009", "yes"},
                      // Not White_Space: zero-width space, BOM, Mongolian vowel separator.
                      TrimCase{"\u200b1\u200b", "\u200b1\u200b"}, TrimCase{"\ufeff1", "\ufeff1"},
                      TrimCase{"\u180e1", "\u180e1"},
                      // Multi-byte characters at the ends are kept whole.
                      TrimCase{" caf\u00e9 ", "caf\u00e9"}, TrimCase{"\u00e9", "\u00e9"},
                      TrimCase{" \U0001f600 ", "\U0001f600"},
                      // Bytes that are not UTF-8 stop the trimming instead of being cut.
                      TrimCase{" \xa0 ", "\xa0"}, TrimCase{" \xc2", "\xc2"}, TrimCase{"\x85 x", "\x85 x"}));

TEST(SupportUnicodeWhitespace, ExactlyTheWhiteSpaceProperty) {
  for (std::uint32_t c : {0x09u, 0x0Au, 0x0Bu, 0x0Cu, 0x0Du, 0x20u, 0x85u, 0xA0u, 0x1680u, 0x2000u, 0x2005u, 0x200Au,
                          0x2028u, 0x2029u, 0x202Fu, 0x205Fu, 0x3000u}) {
    EXPECT_TRUE(is_unicode_whitespace(c)) << std::hex << c;
  }
  for (std::uint32_t c : {0x00u, 0x08u, 0x0Eu, 0x1Cu, 0x1Fu, 0x21u, 0x84u, 0x86u, 0x9Fu, 0xA1u, 0x167Fu, 0x1681u,
                          0x180Eu, 0x1FFFu, 0x200Bu, 0x2027u, 0x202Au, 0x202Eu, 0x2030u, 0x205Eu, 0x2060u, 0x2FFFu,
                          0x3001u, 0xFEFFu, 0x10FFFFu}) {
    EXPECT_FALSE(is_unicode_whitespace(c)) << std::hex << c;
  }
}

TEST(SupportAsciiLowercase, OnlyAsciiLetters) {
  EXPECT_EQ(ascii_lowercase("TrUe"), "true");
  EXPECT_EQ(ascii_lowercase("ON1 @[`{"), "on1 @[`{");
  EXPECT_EQ(ascii_lowercase("\u00c0B\u0130"), "\u00c0b\u0130");  // À and İ untouched
  EXPECT_EQ(ascii_lowercase(""), "");
}

}  // namespace
}  // namespace kestrune::support

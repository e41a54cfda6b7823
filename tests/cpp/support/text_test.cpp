#include "support/utf8.hpp"
#include "support/debug_text.hpp"
#include "support/unicode_trim.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

namespace kestrune::support {

void PrintTo(const Utf8Error& error, std::ostream* out) { *out << error.to_string(); }

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint64_t key(const std::uint8_t* data, std::size_t length) {
  std::uint64_t k = length;
  for (std::size_t j = 0; j < length; ++j) k = (k << 8) | data[j];
  return k;
}

// An independent oracle: the sets of every well-formed encoding and of its proper prefixes. At
// each position a complete encoding advances; the longest prefix in the set before a byte that
// leaves it is the error length; running out of input inside a prefix is incomplete.
std::optional<Utf8Error> oracle(const Bytes& bytes) {
  static const auto sets = [] {
    std::array<std::unordered_set<std::uint64_t>, 2> out;  // proper prefixes, complete encodings
    for (std::uint32_t c = 0; c <= 0x10FFFF; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      const std::size_t width = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
      const std::uint32_t lead = width == 1 ? 0u : (0xF00u >> width) & 0xFF;  // 110xxxxx, 1110xxxx, 11110xxx
      std::uint8_t encoded[4] = {};
      for (std::size_t j = 0; j < width; ++j) {
        const std::uint32_t payload = (c >> (6 * (width - 1 - j))) & (j == 0 ? 0x7F : 0x3F);
        encoded[j] = static_cast<std::uint8_t>((j == 0 ? lead : 0x80u) | payload);
      }
      for (std::size_t length = 1; length <= width; ++length) out[length == width].insert(key(encoded, length));
    }
    return out;
  }();
  for (std::size_t i = 0, length = 1; i < bytes.size(); i += length, length = 1) {
    for (; !sets[1].count(key(bytes.data() + i, length)); ++length) {
      const auto longest = static_cast<std::uint8_t>(std::max<std::size_t>(length - 1, 1));
      if (!sets[0].count(key(bytes.data() + i, length))) return Utf8Error{i, longest};
      if (i + length == bytes.size()) return Utf8Error{i, std::nullopt};
    }
  }
  return std::nullopt;
}

// Every one- and two-byte input; three- and four-byte inputs over the bytes where the rules
// change; and longer inputs, where the reported index must point past a valid prefix.
TEST(SupportUtf8Validate, AgreesWithPrefixOracle) {
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 257; ++b) {
      const Bytes input = b == 256 ? Bytes{std::uint8_t(a)} : Bytes{std::uint8_t(a), std::uint8_t(b)};
      ASSERT_EQ(validate_utf8(input), oracle(input)) << a << " " << b;
    }
  }
  const std::uint8_t edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                                0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
  for (auto a : edges) {
    for (auto b : edges) {
      for (auto c : edges) {
        ASSERT_EQ(validate_utf8(Bytes{a, b, c}), oracle(Bytes{a, b, c}));
        for (auto d : edges) {
          for (const Bytes& input : {Bytes{a, b, c, d}, Bytes{'h', 0xC3, 0xA9, 0xF0, 0x90, 0x80, 0x80, a, b, c, d}}) {
            ASSERT_EQ(validate_utf8(input), oracle(input));
          }
        }
      }
    }
  }
  EXPECT_EQ(validate_utf8(std::string_view("ok\xff")), (Utf8Error{2, 1})) << "text is read as unsigned bytes";
}

TEST(SupportTrimUnicodeWhitespace, StripsBothEndsOfWholeCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"\t\n\v\f\r a b \r\n", "a b"}, {"\u00a0on\u3000", "on"}, {"\u0085", ""},
      {"\u1680\u2028\u2029\u202f\u205f yes \u2009", "yes"},
      {"\u200b1\ufeff", "\u200b1\ufeff"},  // zero-width space and BOM are not White_Space
      {" caf\u00e9 ", "caf\u00e9"}, {" \U0001f600 ", "\U0001f600"},
      // Bytes that are not UTF-8 stop the trimming instead of being cut.
      {" \xa0 ", "\xa0"}, {" \xc2", "\xc2"}, {"\x85 x", "\x85 x"}};
  for (const auto& [input, expected] : cases) EXPECT_EQ(trim_unicode_whitespace(input), expected) << input;
  EXPECT_EQ(ascii_lowercase("TrUe ON1 @[`{\u00c0B\u0130"), "true on1 @[`{\u00c0b\u0130");  // only ASCII letters
}

TEST(SupportUnicodeWhitespace, ExactlyTheWhiteSpaceProperty) {
  std::set<std::uint32_t> white_space = {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x20, 0x85, 0xA0, 0x1680, 0x2028, 0x2029,
                                         0x202F, 0x205F, 0x3000};
  for (std::uint32_t c = 0x2000; c <= 0x200A; ++c) white_space.insert(c);
  for (std::uint32_t c = 0; c <= 0x10FFFF; ++c) {
    ASSERT_EQ(is_unicode_whitespace(c), white_space.count(c) == 1) << std::hex << c;
  }
}


TEST(SupportDebugQuote, EscapesLikeADebugString) {
  const std::pair<std::string, std::string> cases[] = {
      {"", R"("")"}, {"a\"b", R"("a\"b")"}, {"back\\slash", R"("back\\slash")"}, {"it's", R"("it's")"},
      {"\n\r\t", R"("\n\r\t")"}, {std::string("a\0b", 3), R"("a\0b")"}, {"\x1b[0m", R"("\u{1b}[0m")"},
      {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"}, {"\u0085", R"("\u{85}")"}, {"\u009f", R"("\u{9f}")"},
      // Printable non-ASCII text is kept as it is.
      {"caf\u00e9 \u20ac \U0001f600", "\"caf\u00e9 \u20ac \U0001f600\""},
      // Bytes that are not UTF-8 (a stray byte, a cut sequence, a surrogate) are shown one by one.
      {"a\xff", R"("a\xff")"}, {"\xe2\x82", R"("\xe2\x82")"}, {"\xed\xa0\x80", R"("\xed\xa0\x80")"}};
  for (const auto& [input, expected] : cases) EXPECT_EQ(debug_quote(input), expected);
}

}  // namespace
}  // namespace kestrune::support

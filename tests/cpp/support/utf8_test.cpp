#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <unordered_set>
#include <vector>

namespace kestrune::support {

// Readable failure output for the tables below.
void PrintTo(const Utf8Error& error, std::ostream* out) { *out << error.to_string(); }

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Case {
  Bytes bytes;
  std::optional<Utf8Error> expected;
};

Utf8Error invalid(std::size_t at, std::uint8_t length) { return {at, length}; }
Utf8Error incomplete(std::size_t at) { return {at, std::nullopt}; }

class SupportUtf8Validate : public ::testing::TestWithParam<Case> {};

TEST_P(SupportUtf8Validate, ReportsTheFirstError) { EXPECT_EQ(validate_utf8(GetParam().bytes), GetParam().expected); }

// Single characters of every length are covered by the oracle below; these are inputs longer
// than it reaches, where the reported index must point past the valid prefix.
INSTANTIATE_TEST_SUITE_P(
    SupportTable, SupportUtf8Validate,
    ::testing::Values(Case{{'h', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x90, 0x80, 0x80}, std::nullopt},
                      Case{{'a', 'b', 0xE2, 0x82, 'c'}, invalid(2, 2)}, Case{{0xC3, 0xA9, 0x80}, invalid(2, 1)},
                      Case{{0xC3, 0xA9, 0xF0, 0x90, 0x80, 'A'}, invalid(2, 3)},
                      Case{{'a', 'b', 0xE2, 0x82}, incomplete(2)},
                      Case{{0xC3, 0xA9, 0xF4, 0x8F, 0xBF}, incomplete(2)}));

TEST(SupportUtf8Error, DisplayTexts) {
  EXPECT_EQ(invalid(0, 1).to_string(), "invalid utf-8 sequence of 1 bytes from index 0");
  EXPECT_EQ(invalid(17, 3).to_string(), "invalid utf-8 sequence of 3 bytes from index 17");
  EXPECT_EQ(incomplete(5).to_string(), "incomplete utf-8 byte sequence from index 5");
}

TEST(SupportUtf8Validate, StringViewOverloadReadsBytesUnsigned) {
  EXPECT_EQ(validate_utf8(std::string_view("caf\xc3\xa9")), std::nullopt);
  EXPECT_EQ(validate_utf8(std::string_view("ok\xff")), invalid(2, 1));
}

// An independent oracle: the set of every proper prefix of every well-formed encoding. At each
// position the longest prefix found in that set is the error length; a complete encoding
// advances; running out of input inside a prefix is incomplete.
class Utf8Oracle {
 public:
  Utf8Oracle() {
    for (std::uint32_t c = 0; c <= 0x10FFFF; ++c) {
      if (c >= 0xD800 && c <= 0xDFFF) continue;
      const Bytes encoded = encode(c);
      for (std::size_t length = 1; length <= encoded.size(); ++length) {
        (length == encoded.size() ? complete_ : prefixes_).insert(key(encoded.data(), length));
      }
    }
  }

  std::optional<Utf8Error> validate(const Bytes& bytes) const {
    std::size_t i = 0;
    while (i < bytes.size()) {
      std::size_t length = 1;
      for (;; ++length) {
        if (i + length > bytes.size()) return incomplete(i);
        const std::uint64_t k = key(bytes.data() + i, length);
        if (complete_.count(k)) break;
        if (!prefixes_.count(k)) return invalid(i, static_cast<std::uint8_t>(length == 1 ? 1 : length - 1));
      }
      i += length;
    }
    return std::nullopt;
  }

 private:
  static Bytes encode(std::uint32_t c) {
    if (c < 0x80) return {static_cast<std::uint8_t>(c)};
    if (c < 0x800) return {static_cast<std::uint8_t>(0xC0 | (c >> 6)), static_cast<std::uint8_t>(0x80 | (c & 0x3F))};
    if (c < 0x10000) {
      return {static_cast<std::uint8_t>(0xE0 | (c >> 12)), static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)),
              static_cast<std::uint8_t>(0x80 | (c & 0x3F))};
    }
    return {static_cast<std::uint8_t>(0xF0 | (c >> 18)), static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F)),
            static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F)), static_cast<std::uint8_t>(0x80 | (c & 0x3F))};
  }
  static std::uint64_t key(const std::uint8_t* data, std::size_t length) {
    std::uint64_t k = length;
    for (std::size_t j = 0; j < length; ++j) k = (k << 8) | data[j];
    return k;
  }

  std::unordered_set<std::uint64_t> prefixes_;
  std::unordered_set<std::uint64_t> complete_;
};

TEST(SupportUtf8Validate, AgreesWithPrefixOracle) {
  const Utf8Oracle oracle;
  // Every one- and two-byte input.
  for (unsigned a = 0; a < 256; ++a) {
    const Bytes one{static_cast<std::uint8_t>(a)};
    ASSERT_EQ(validate_utf8(one), oracle.validate(one)) << a;
    for (unsigned b = 0; b < 256; ++b) {
      const Bytes two{static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b)};
      ASSERT_EQ(validate_utf8(two), oracle.validate(two)) << a << " " << b;
    }
  }
  // Three- and four-byte inputs over the bytes where the rules change.
  const std::array<std::uint8_t, 25> edges{0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                           0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                                           0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
  for (auto a : edges) {
    for (auto b : edges) {
      for (auto c : edges) {
        const Bytes three{a, b, c};
        ASSERT_EQ(validate_utf8(three), oracle.validate(three));
        for (auto d : edges) {
          const Bytes four{a, b, c, d};
          ASSERT_EQ(validate_utf8(four), oracle.validate(four));
        }
      }
    }
  }
  // The same bytes after a valid prefix of every width (the last byte over those that end or break
  // a sequence): the reported index must point past the prefix.
  for (auto a : edges) {
    for (auto b : edges) {
      for (auto c : edges) {
        for (const std::uint8_t d : {0x41, 0x80, 0xBF, 0xC0, 0xFF}) {
          const Bytes input{'h', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x90, 0x80, 0x80, a, b, c, d};
          ASSERT_EQ(validate_utf8(input), oracle.validate(input)) << int(a) << " " << int(b) << " " << int(c) << " " << int(d);
        }
      }
    }
  }
}

}  // namespace
}  // namespace kestrune::support

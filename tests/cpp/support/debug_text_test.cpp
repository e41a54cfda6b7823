#include "support/debug_text.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kestrune::support {
namespace {

struct QuoteCase {
  std::string input;
  std::string expected;
};

class SupportDebugQuote : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(SupportDebugQuote, EscapesLikeADebugString) { EXPECT_EQ(debug_quote(GetParam().input), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    SupportTable, SupportDebugQuote,
    ::testing::Values(QuoteCase{"", R"("")"}, QuoteCase{"squared_error", R"("squared_error")"},
                      QuoteCase{"a\"b", R"("a\"b")"}, QuoteCase{"back\\slash", R"("back\\slash")"},
                      QuoteCase{"it's", R"("it's")"}, QuoteCase{"\n\r\t", R"("\n\r\t")"},
                      QuoteCase{std::string("a\0b", 3), R"("a\0b")"}, QuoteCase{"\x1b[0m", R"("\u{1b}[0m")"},
                      QuoteCase{"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"}, QuoteCase{"\u0085", R"("\u{85}")"},
                      QuoteCase{"\u009f", R"("\u{9f}")"},
                      // Printable non-ASCII text is kept as it is.
                      QuoteCase{"caf\u00e9 \u20ac \U0001f600", "\"caf\u00e9 \u20ac \U0001f600\""},
                      // Bytes that are not UTF-8 are shown one by one rather than copied.
                      QuoteCase{"a\xff", R"("a\xff")"}, QuoteCase{"\xe2\x82", R"("\xe2\x82")"},
                      QuoteCase{"\xed\xa0\x80", R"("\xed\xa0\x80")"}));

}  // namespace
}  // namespace kestrune::support

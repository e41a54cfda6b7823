// Decimal text to float, with the grammar that configuration values (environment variables) are
// read with: an optional '+' or '-', then "inf", "infinity" or "nan" in any letter case, or
// digits with an optional '.' and fraction (at least one digit in all) and an optional exponent
// ('e' or 'E', optional sign, at least one digit). Nothing else: no white space, no hex, no
// trailing text. Results are correctly rounded to nearest; magnitudes beyond the type's range
// give an infinity of the same sign, magnitudes below its smallest subnormal a zero of that sign.
#pragma once

#include <optional>
#include <string_view>

namespace kestrune::support {

std::optional<float> parse_f32(std::string_view text);
std::optional<double> parse_f64(std::string_view text);

}  // namespace kestrune::support

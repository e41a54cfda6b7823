// Texts of floating-point values as the system's messages print them.
#pragma once

#include <string>

namespace kestrune::support {

// Display form: the shortest digits that read back as the same float32, never in exponent
// form: 0.5, 2, 0.0000001, NaN, inf, -inf, -0.
std::string format_f32(float value);
// The same for float64 (shortest digits that read back as the same float64).
std::string format_f64(double value);

// Debug form: whole numbers keep a ".0" (1.0), exponent form below 1e-4 and from 1e16 up
// (1e-5, 1.5e16), NaN, inf, -inf, -0.0.
std::string debug_f32(float value);
std::string debug_f64(double value);

}  // namespace kestrune::support

// Raw float32 buffers from Python: packed little-endian IEEE 754 binary32 values, 4 bytes each,
// with no header and no alignment requirement. Decoding keeps every bit pattern (NaN payloads,
// infinities, -0.0, subnormals); the value count is the byte count / 4.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kestrune::python {

// A new list of byte count / 4 values. A byte count that is not a multiple of 4 is a
// ValueError "values_bytes length must be a multiple of 4 (f32)", whichever buffer is decoded
// (the message is part of the module's interface); nothing is allocated then.
std::vector<float> bytes_to_f32_vec(std::span<const std::uint8_t> bytes);

}  // namespace kestrune::python

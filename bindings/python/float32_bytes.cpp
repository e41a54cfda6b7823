#include "float32_bytes.hpp"

#include <bit>
#include <cstring>

#include "errors.hpp"

namespace kestrune::python {

std::vector<float> bytes_to_f32_vec(std::span<const std::uint8_t> bytes) {
  if (bytes.size() % sizeof(float) != 0) {
    throw PythonError::value_error("values_bytes length must be a multiple of 4 (f32)");
  }
  std::vector<float> values(bytes.size() / sizeof(float));
  if (values.empty()) return values;
  if constexpr (std::endian::native == std::endian::little) {
    // The buffer may start at any address: copy bytes, never read it as floats in place.
    std::memcpy(values.data(), bytes.data(), bytes.size());
  } else {
    for (std::size_t i = 0; i < values.size(); ++i) {
      const std::uint8_t* b = bytes.data() + i * sizeof(float);
      const std::uint32_t word = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
                                 (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
      values[i] = std::bit_cast<float>(word);
    }
  }
  return values;
}

}  // namespace kestrune::python

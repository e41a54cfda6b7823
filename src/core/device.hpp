// The training device recorded in model artifacts as `trained_device`.
#pragma once

#include <string_view>

namespace kestrune::core {

enum class Device { Cpu };

// The metadata label of a device: "cpu".
std::string_view device_metadata_label(Device device) noexcept;

// Exactly "cpu" (case-sensitive, untrimmed) reads as Device::Cpu; anything else is
// CoreError::Validation "unsupported trained_device '{label}'".
Device parse_device_metadata_label(std::string_view label);

}  // namespace kestrune::core

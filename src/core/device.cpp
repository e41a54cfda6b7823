#include "core/device.hpp"

#include <string>
#include <utility>

#include "core/error.hpp"

namespace kestrune::core {

std::string_view device_metadata_label(Device device) noexcept {
  switch (device) {
    case Device::Cpu:
      return "cpu";
  }
  return "cpu";
}

Device parse_device_metadata_label(std::string_view label) {
  if (label == "cpu") return Device::Cpu;
  std::string message = "unsupported trained_device '";
  message.append(label);
  message += '\'';
  throw CoreError::validation(std::move(message));
}

}  // namespace kestrune::core

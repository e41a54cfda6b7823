#include "core/device.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expect_core_error.hpp"

namespace kestrune {
namespace {

using testing_support::throws_validation;

TEST(CoreDevice, LabelRoundTripsAndOnlyExactCpuParses) {
  EXPECT_EQ(core::device_metadata_label(core::Device::Cpu), "cpu");
  EXPECT_EQ(core::parse_device_metadata_label(core::device_metadata_label(core::Device::Cpu)), core::Device::Cpu);
  const std::vector<std::string> rejected = {"CPU", "", " cpu", "cpu\n", "gpu", std::string("cpu\0", 4)};
  for (const std::string& label : rejected) {
    EXPECT_TRUE(throws_validation([&] { core::parse_device_metadata_label(label); },
                                  "unsupported trained_device '" + label + "'"));
  }
}

}  // namespace
}  // namespace kestrune

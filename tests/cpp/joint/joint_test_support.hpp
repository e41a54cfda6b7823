// Helpers of the joint trainer tests: matching the plain message text of a JointError.
#pragma once

#include <gtest/gtest.h>

#include <string_view>

#include "engine/joint/error.hpp"

namespace kestrune::engine::joint::testing_support {

template <typename F>
::testing::AssertionResult throws_joint_error(F&& body, std::string_view message) {
  try {
    body();
  } catch (const JointError& error) {
    if (error.what() == message) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "threw \"" << error.what() << "\", wanted \"" << message << "\"";
  } catch (const std::exception& error) {
    return ::testing::AssertionFailure() << "threw a different exception: " << error.what();
  }
  return ::testing::AssertionFailure() << "threw nothing, wanted \"" << message << "\"";
}

}  // namespace kestrune::engine::joint::testing_support

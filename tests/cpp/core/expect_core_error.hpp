// Asserts that a call throws a CoreError of the given kind with exactly the given message.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <string_view>

#include "core/error.hpp"

namespace kestrune::testing_support {

template <typename F>
::testing::AssertionResult throws_core_error(F&& body, core::CoreErrorKind kind, std::string_view message) {
  try {
    body();
  } catch (const core::CoreError& error) {
    if (error.kind() == kind && error.message() == message) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "threw " << error.debug() << ", wanted "
                                         << core::core_error_kind_name(kind) << "(\"" << message << "\")";
  } catch (const std::exception& error) {
    return ::testing::AssertionFailure() << "threw a different exception: " << error.what();
  }
  return ::testing::AssertionFailure() << "threw nothing, wanted \"" << message << "\"";
}

template <typename F>
::testing::AssertionResult throws_validation(F&& body, std::string_view message) {
  return throws_core_error(static_cast<F&&>(body), core::CoreErrorKind::Validation, message);
}

}  // namespace kestrune::testing_support

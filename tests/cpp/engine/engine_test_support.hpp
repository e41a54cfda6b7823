// Helpers of the engine tests: engine error matching and scoped environment values.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "engine/error.hpp"

namespace kestrune::engine::testing_support {

template <typename F>
::testing::AssertionResult throws_engine_error(F&& body, EngineErrorKind kind, std::string_view message) {
  try {
    body();
  } catch (const EngineError& error) {
    if (error.kind() == kind && error.message() == message) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "threw " << error.debug() << ", wanted \"" << message << "\"";
  } catch (const std::exception& error) {
    return ::testing::AssertionFailure() << "threw a different exception: " << error.what();
  }
  return ::testing::AssertionFailure() << "threw nothing, wanted \"" << message << "\"";
}

template <typename F>
::testing::AssertionResult throws_contract_violation(F&& body, std::string_view message) {
  return throws_engine_error(static_cast<F&&>(body), EngineErrorKind::ContractViolation, message);
}

// Sets (or unsets, for nullopt) one variable for the scope and restores the previous value.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* previous = std::getenv(name)) previous_ = previous;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (previous_) {
      setenv(name_, previous_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

}  // namespace kestrune::engine::testing_support

// Failures of the categorical encoders. Every input check fails with InvalidInput; Core carries
// a core error for callers that combine an encoder with core operations.
#pragma once

#include <exception>
#include <string>

#include "core/error.hpp"

namespace kestrune::categorical {

enum class CategoricalErrorKind { InvalidInput, Core };

class CategoricalError : public std::exception {
 public:
  static CategoricalError invalid_input(std::string message) {
    return {CategoricalErrorKind::InvalidInput, "invalid input: " + message, std::move(message)};
  }
  static CategoricalError core(const core::CoreError& error) {
    return {CategoricalErrorKind::Core, std::string("core error: ") + error.what(), error.what()};
  }

  CategoricalErrorKind kind() const noexcept { return kind_; }
  // The message without its prefix.
  const std::string& message() const noexcept { return message_; }
  // "invalid input: ..." or "core error: ...".
  const char* what() const noexcept override { return display_.c_str(); }

 private:
  CategoricalError(CategoricalErrorKind kind, std::string display, std::string message)
      : kind_(kind), display_(std::move(display)), message_(std::move(message)) {}

  CategoricalErrorKind kind_;
  std::string display_;
  std::string message_;
};

}  // namespace kestrune::categorical

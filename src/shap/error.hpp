// The explainer's error: the caller's rows and binning lists (InvalidInput), or the artifact, the
// model and the explanation itself (Runtime). Each carries its message unchanged.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace kestrune::shap {

enum class ShapErrorKind { InvalidInput, Runtime };

class ShapError : public std::exception {
 public:
  ShapError(ShapErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  static ShapError invalid_input(std::string m) { return {ShapErrorKind::InvalidInput, std::move(m)}; }
  static ShapError runtime(std::string m) { return {ShapErrorKind::Runtime, std::move(m)}; }

  ShapErrorKind kind() const noexcept { return kind_; }
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  ShapErrorKind kind_;
  std::string message_;
};

}  // namespace kestrune::shap

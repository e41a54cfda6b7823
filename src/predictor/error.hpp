// The predictor's error: artifact loading, batch prediction and threshold conversion throw it.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "core/error.hpp"

namespace kestrune::predictor {

// Core: a container or optional-section failure, passed on unchanged. InvalidInput: caller input
// that does not fit the model. InvalidModel: malformed or inconsistent artifact content, and calls
// that do not fit the kind of model.
enum class PredictorErrorKind { Core, InvalidInput, InvalidModel };

class PredictorError : public std::exception {
 public:
  PredictorError(PredictorErrorKind kind, std::string message);
  // Wraps a core error unchanged (kind Core).
  explicit PredictorError(core::CoreError inner);

  static PredictorError invalid_input(std::string m) { return {PredictorErrorKind::InvalidInput, std::move(m)}; }
  static PredictorError invalid_model(std::string m) { return {PredictorErrorKind::InvalidModel, std::move(m)}; }

  PredictorErrorKind kind() const noexcept { return kind_; }
  // The message; for kind Core, the wrapped error's display text.
  const std::string& message() const noexcept { return message_; }
  const std::optional<core::CoreError>& core() const noexcept { return core_; }
  // Display text: the message itself (for Core, the core error's display text).
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& display() const noexcept { return message_; }
  // Debug rendering, e.g. InvalidModel("...") or Core(Serialization("...")).
  std::string debug() const;

 private:
  PredictorErrorKind kind_;
  std::string message_;
  std::optional<core::CoreError> core_;
};

// Runs `body`, turning a CoreError it throws into PredictorError::Core.
template <typename F>
decltype(auto) with_core_errors(F&& body) {
  try {
    return std::forward<F>(body)();
  } catch (const core::CoreError& error) {
    throw PredictorError(error);
  }
}

}  // namespace kestrune::predictor

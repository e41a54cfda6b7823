// The engine's error: tree growth, backends, objectives, the driver and model loading throw it.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <utility>

#include "core/error.hpp"

namespace kestrune::engine {

enum class EngineErrorKind { InvalidConfig, ContractViolation, BackendUnavailable, NotImplemented, Core };

class EngineError : public std::exception {
 public:
  EngineError(EngineErrorKind kind, std::string message);
  // Wraps a core error unchanged (kind Core).
  explicit EngineError(core::CoreError inner);

  static EngineError invalid_config(std::string m) { return {EngineErrorKind::InvalidConfig, std::move(m)}; }
  static EngineError contract_violation(std::string m) { return {EngineErrorKind::ContractViolation, std::move(m)}; }
  static EngineError backend_unavailable(std::string m) { return {EngineErrorKind::BackendUnavailable, std::move(m)}; }
  static EngineError not_implemented(std::string m) { return {EngineErrorKind::NotImplemented, std::move(m)}; }

  EngineErrorKind kind() const noexcept { return kind_; }
  // The payload text; for kind Core, the wrapped error's display text.
  const std::string& message() const noexcept { return message_; }
  // The wrapped core error, present exactly for kind Core.
  const std::optional<core::CoreError>& core() const noexcept { return core_; }
  const char* what() const noexcept override { return display_.c_str(); }
  const std::string& display() const noexcept { return display_; }
  // Debug rendering, e.g. ContractViolation("...") or Core(Validation("...")).
  std::string debug() const;

 private:
  EngineErrorKind kind_;
  std::string message_;
  std::optional<core::CoreError> core_;
  std::string display_;
};

// Runs `body`, turning a CoreError it throws into EngineError::Core.
template <typename F>
decltype(auto) with_core_errors(F&& body) {
  try {
    return std::forward<F>(body)();
  } catch (const core::CoreError& error) {
    throw EngineError(error);
  }
}

}  // namespace kestrune::engine

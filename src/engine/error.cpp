#include "engine/error.hpp"

#include "support/debug_text.hpp"

namespace kestrune::engine {
namespace {

const char* kind_name(EngineErrorKind kind) noexcept {
  switch (kind) {
    case EngineErrorKind::InvalidConfig: return "InvalidConfig";
    case EngineErrorKind::ContractViolation: return "ContractViolation";
    case EngineErrorKind::BackendUnavailable: return "BackendUnavailable";
    case EngineErrorKind::NotImplemented: return "NotImplemented";
    case EngineErrorKind::Core: return "Core";
  }
  return "";
}

const char* display_prefix(EngineErrorKind kind) noexcept {
  switch (kind) {
    case EngineErrorKind::InvalidConfig: return "invalid config: ";
    case EngineErrorKind::ContractViolation: return "contract violation: ";
    case EngineErrorKind::BackendUnavailable: return "backend unavailable: ";
    case EngineErrorKind::NotImplemented: return "not implemented: ";
    case EngineErrorKind::Core: return "core error: ";
  }
  return "";
}

}  // namespace

EngineError::EngineError(EngineErrorKind kind, std::string message)
    : kind_(kind), message_(std::move(message)), display_(display_prefix(kind) + message_) {}

EngineError::EngineError(core::CoreError inner)
    : kind_(EngineErrorKind::Core),
      message_(inner.display()),
      core_(std::move(inner)),
      display_(display_prefix(EngineErrorKind::Core) + message_) {}

std::string EngineError::debug() const {
  const std::string payload = core_ ? core_->debug() : support::debug_quote(message_);
  return std::string(kind_name(kind_)) + "(" + payload + ")";
}

}  // namespace kestrune::engine
